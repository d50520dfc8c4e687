#!/bin/sh
# Builds the Debian packages from a build tree, checks what each one holds
# and declares, unpacks them into a scratch root and runs the consumer test
# against that root.
# Usage: package_test.sh <build dir> <libdir> <version> <build type> [daemon]
#   libdir  the library directory below /usr, e.g. lib/x86_64-linux-gnu
#   daemon  given when the build has zelkd, so a zelkd package is expected
# Environment: CC, CMAKE, CPACK (default cpack). The packages are left in
# <build dir>/packages. For a cross build: ZELK_DEB_ARCH, the packages'
# Debian architecture, and ZELK_EMULATOR, the command that runs the
# target's programs; the consumer test is then left out.
set -eu
build=$1
libdir=$2
version=$3
config=$(echo "${4:-noconfig}" | tr '[:upper:]' '[:lower:]')
daemon=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
soversion=${version%%.*}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "package_test: $*" >&2
    exit 1
}

out=$build/packages
rm -f "$out"/*.deb
"${CPACK:-cpack}" --config "$build/CPackConfig.cmake" -B "$out" >"$work/cpack.log" ||
    { cat "$work/cpack.log"; exit 1; }
arch=${ZELK_DEB_ARCH:-$(dpkg --print-architecture)}

# What each package must hold, and nothing else: type and mode, path, link.
cat >"$work/expected" <<EOF
libzelk2 -rw-r--r-- /usr/$libdir/libzelk.so.$version
libzelk2 lrwxrwxrwx /usr/$libdir/libzelk.so.$soversion -> libzelk.so.$version
libzelk2 -rw-r--r-- /usr/lib/tmpfiles.d/zelk.conf
libzelk-dev -rw-r--r-- /usr/include/zelk.h
libzelk-dev lrwxrwxrwx /usr/$libdir/libzelk.so -> libzelk.so.$soversion
libzelk-dev -rw-r--r-- /usr/$libdir/pkgconfig/zelk.pc
libzelk-dev -rw-r--r-- /usr/$libdir/cmake/zelk/zelkConfig.cmake
libzelk-dev -rw-r--r-- /usr/$libdir/cmake/zelk/zelkConfigVersion.cmake
libzelk-dev -rw-r--r-- /usr/$libdir/cmake/zelk/zelkTargets.cmake
libzelk-dev -rw-r--r-- /usr/$libdir/cmake/zelk/zelkTargets-$config.cmake
libzelk-dev -rw-r--r-- /usr/share/man/man3/zelk.3.gz
EOF
if [ -n "$daemon" ]; then
    cat >>"$work/expected" <<EOF
zelkd -rwxr-xr-x /usr/bin/zelk
zelkd -rwxr-xr-x /usr/bin/zelkd-session
zelkd -rwxr-xr-x /usr/sbin/zelkd
zelkd -rw-r--r-- /usr/lib/systemd/system/zelkd.service
zelkd -rw-r--r-- /usr/lib/sysusers.d/zelkd.conf
zelkd -rw-r--r-- /usr/share/man/man1/zelk.1.gz
zelkd -rw-r--r-- /usr/share/man/man8/zelkd.8.gz
zelkd -rw-r--r-- /usr/share/man/man5/zelk-policy.5.gz
zelkd -rw-r--r-- /usr/share/doc/zelkd/examples/policy.conf
EOF
fi

: >"$work/actual"
for package in $(cut -d' ' -f1 "$work/expected" | sort -u); do
    deb=$out/${package}_${version}_$arch.deb
    [ -f "$deb" ] || fail "no $deb"
    dpkg-deb --contents "$deb" | awk -v p="$package" '
        $2 != "root/root" { print "owner " $2 ": " $0; next }
        $1 !~ /^d/ { path = $6; sub(/^\./, "", path)
                     print p, $1, path ($7 == "->" ? " -> " $8 : "") }' \
        >>"$work/actual"
    dpkg-deb -x "$deb" "$work/root"
done
sort "$work/expected" >"$work/expected.sorted"
sort "$work/actual" >"$work/actual.sorted"
if ! diff -u "$work/expected.sorted" "$work/actual.sorted" >"$work/diff"; then
    echo "package contents differ (- expected, + packaged):" >&2
    tail -n +3 "$work/diff" | grep -E '^[-+]' >&2
    exit 1
fi
echo "packages hold what they should: $(wc -l <"$work/actual") files"

# Declared relations.
depends() { dpkg-deb -f "$out/${1}_${version}_$arch.deb" Depends; }
depends libzelk-dev | grep -q "libzelk2 (= $version)" ||
    fail "libzelk-dev does not depend on libzelk2 (= $version)"
depends libzelk2 | grep -q 'libc6' || fail "libzelk2 does not depend on libc6"

# The symbols file matches the packaged library exactly.
dpkg-deb -e "$out/libzelk2_${version}_$arch.deb" "$work/control"
mkdir -p "$work/gensymbols/debian"
(cd "$work/gensymbols" && dpkg-gensymbols -q -c4 -plibzelk2 -v"$version" -a"$arch" \
    -e"$work/root/usr/$libdir/libzelk.so.$version" \
    -I"$work/control/symbols" -O"$work/gensymbols/out") ||
    fail "the symbols file does not match the library"
grep -q 'activate-noawait ldconfig' "$work/control/triggers" ||
    fail "libzelk2 does not trigger ldconfig"

# The tmpfiles entry makes the marker directory open to every application.
# Without root the owner cannot be set; the mode is checked all the same.
systemd-tmpfiles --root="$work/root" --create >/dev/null 2>&1 ||
    [ "$(id -u)" -ne 0 ] || fail "systemd-tmpfiles failed on zelk.conf"
[ "$(stat -c %a "$work/root/run/zelk")" = 1777 ] || fail "/run/zelk is not 1777"

if [ -n "$daemon" ]; then
    depends zelkd | grep -q 'fuse3' || fail "zelkd does not depend on fuse3"
    depends zelkd | grep -q 'libfuse3-3' ||
        fail "zelkd does not depend on libfuse3-3"
    dpkg-deb -f "$out/libzelk2_${version}_$arch.deb" Recommends |
        grep -q zelkd || fail "libzelk2 does not recommend zelkd"
    dpkg-deb -e "$out/zelkd_${version}_$arch.deb" "$work/zelkd-control"
    for script in postinst prerm postrm; do
        sh -n "$work/zelkd-control/$script" || fail "zelkd $script is broken"
    done
    # shellcheck disable=SC2086 # the emulator's command is words
    ${ZELK_EMULATOR:-} "$work/root/usr/sbin/zelkd" --version |
        grep -qx "zelkd $version" ||
        fail "the packaged zelkd does not run"
    # Its manual page lists the options, taken from that zelkd's --help.
    gzip -dc "$work/root/usr/share/man/man8/zelkd.8.gz" |
        grep -q 'no\\-inheritance' || fail "zelkd(8) lists no options"
    # The unit is valid, and its group comes from the sysusers entry.
    warnings=$(systemd-analyze verify --man=no --root="$work/root" \
        zelkd.service 2>&1) || true
    [ -z "$warnings" ] || fail "zelkd.service: $warnings"
    mkdir -p "$work/root/etc"
    systemd-sysusers --root="$work/root" >/dev/null
    grep -q '^zelk:' "$work/root/etc/group" || fail "no group zelk"
    grep -q -- '--group zelk' "$work/root/usr/lib/systemd/system/zelkd.service" ||
        fail "zelkd.service does not give the device to the group zelk"
fi

# Every file that cmake --install writes went into some package.
DESTDIR=$work/all "${CMAKE:-cmake}" --install "$build" --prefix /usr >/dev/null
(cd "$work/all" && find . ! -type d | sed 's/^\.//' | sort) >"$work/installed"
sed 's/ -> .*//' "$work/actual" | awk '{print $NF}' | sort >"$work/packaged"
unpackaged=$(comm -23 "$work/installed" "$work/packaged")
[ -z "$unpackaged" ] || fail "installed but in no package: $unpackaged"

if [ -n "${ZELK_DEB_ARCH:-}" ]; then
    echo "consumer test left out: packages for $arch, a cross build"
else
    sh "$here/consumer.sh" "$work/root" /usr "$libdir" "$version"
fi
