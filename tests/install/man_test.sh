#!/bin/sh
# Formats manual pages with every groff warning on; any warning fails.
# Usage: man_test.sh <page> ...
set -eu
status=0
for page in "$@"; do
    warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
    if [ -n "$warnings" ]; then
        echo "$page:" >&2
        echo "$warnings" >&2
        status=1
    fi
done
exit $status
