#!/bin/sh
# Compares the dynamic symbols that a libzelk build exports with the
# functions and objects that the public header declares (ZELK_API lines).
# Usage: check-exports.sh <libzelk.so> <zelk.h>
set -eu
lib=$1
header=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Each ZELK_API declaration names its function or object on the same line.
grep -E '^[[:space:]]*(extern[[:space:]]+)?ZELK_API[[:space:]]' "$header" |
    sed -E 's/\(.*//; s/[;[].*//; s/[*]/ /g' |
    awk '{print $NF}' | sort -u >"$tmp/declared"

nm -D --defined-only "$lib" |
    awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort -u >"$tmp/exported"

if ! diff -u "$tmp/declared" "$tmp/exported" >"$tmp/diff"; then
    echo "exported symbols differ from the header (- declared only, + exported only):"
    tail -n +3 "$tmp/diff" | grep -E '^[-+]'
    exit 1
fi
echo "$(wc -l <"$tmp/declared") declared symbols, all exported, nothing else"
