#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running libzelk
# need, and only those that are missing. Needs root (or sudo) when something
# is missing; does nothing otherwise.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config       # the build
  gcc-multilib g++-multilib qemu-user    # i686 build, run under emulation
  googletest libbenchmark-dev            # tests (built from source), benchmarks
  libfuse3-dev fuse3                     # the zelkd driver daemon
  clang libclang-rt-14-dev               # libFuzzer
  dpkg-dev file                          # Debian packages (CPack)
  systemd groff-base                     # checks of the tmpfiles, sysusers
                                         # and unit files, the manual pages
)

# Static tracepoints: sys/sdt.h for building them in, bpftrace for the test
# that fires one (the test skips, saying why, where bpftrace cannot attach).
packages+=(systemtap-sdt-dev bpftrace)

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
