#!/bin/sh
# Builds and runs the consumer program against an installed libzelk twice:
# through pkg-config and a plain compiler call, and through find_package.
# Usage: consumer.sh <root> <prefix> <libdir> <version>
#   root     where the tree was unpacked ("" for the real root)
#   prefix   the prefix it was installed for, e.g. /usr
#   libdir   the library directory below the prefix, e.g. lib/x86_64-linux-gnu
# Environment: CC, CMAKE (default cc, cmake); CMAKE_GENERATOR is honoured.
set -eu
root=$1
prefix=$2
libdir=$3
version=$4
here=$(cd "$(dirname "$0")" && pwd)
cc=${CC:-cc}
cmake=${CMAKE:-cmake}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

libpath=$(realpath "$root$prefix/$libdir")

echo "--- pkg-config"
# The sysroot maps the file's /usr paths into the unpacked tree; system
# directories stay in the flags, since they are not the system's here.
export PKG_CONFIG_SYSROOT_DIR="$root"
export PKG_CONFIG_LIBDIR="$libpath/pkgconfig"
export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
found=$(pkg-config --modversion zelk)
[ "$found" = "$version" ] || { echo "zelk.pc says $found" >&2; exit 1; }
pkg-config --atleast-version=2.2 zelk
flags=$(pkg-config --cflags --libs zelk)
echo "$cc consumer.c $flags"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c99 -Wall -Wextra -Werror -o "$work/consumer" "$here/consumer.c" $flags
LD_LIBRARY_PATH="$libpath" "$work/consumer" "$libpath" "$version"
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR

echo "--- find_package"
"$cmake" -S "$here/consumer" -B "$work/build" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$root$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }
"$cmake" --build "$work/build" >"$work/build.log" ||
    { cat "$work/build.log"; exit 1; }
"$work/build/consumer" "$libpath" "$version"
