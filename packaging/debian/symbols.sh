#!/bin/sh
# Writes the Debian symbols file of a shared library: every symbol that it
# exports, with its version node, recorded as first present in <version>.
# The record lives in packaging/debian/libzelk2.symbols and the package test
# checks each build against it (dpkg-gensymbols -c4). After an intended
# interface change, rewrite it and give older entries back their versions:
#   sh packaging/debian/symbols.sh build/ci/src/libzelk.so.2 libzelk2 \
#       <version> libzelk-dev packaging/debian/libzelk2.symbols
# Usage: symbols.sh <library> <package> <version> <dev package> <output>
set -eu
lib=$1
package=$2
version=$3
dev=$4
out=$5

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
[ -n "$soname" ] || { echo "symbols.sh: $lib has no soname" >&2; exit 1; }
{
    echo "$soname $package #MINVER#"
    echo "* Build-Depends-Package: $dev"
    # "A" marks a version node's own symbol; "name@@NODE" a versioned symbol.
    nm -D --defined-only --with-symbol-versions "$lib" |
        awk -v v="$version" '
            $2 == "A" { print " " $3 "@" $3 " " v; next }
            { sub(/@@/, "@", $3); print " " $3 " " v }' |
        LC_ALL=C sort
} >"$out.tmp"
mv "$out.tmp" "$out"
