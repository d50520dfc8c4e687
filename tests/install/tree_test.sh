#!/bin/sh
# Installs a build with cmake --install into a fresh prefix (not the one it
# was configured for) and runs the consumer test against that tree.
# Usage: tree_test.sh <build dir> <libdir> <version>
# Environment: CC, CMAKE as for consumer.sh.
set -eu
build=$1
libdir=$2
version=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"${CMAKE:-cmake}" --install "$build" --prefix "$work/prefix" >"$work/install.log" ||
    { cat "$work/install.log"; exit 1; }
sh "$here/consumer.sh" "" "$work/prefix" "$libdir" "$version"
