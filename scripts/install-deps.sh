#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running libzelk
# need, and only those that are missing. Needs root (or sudo) when something
# is missing; does nothing otherwise. Waits while another package manager
# holds its lock.
# Usage: scripts/install-deps.sh [demo]
#   (no argument: everything the whole test suite needs; demo: only what
#   building and running the demo needs)
set -euo pipefail

# Building libzelk (with its tracepoints), zelkd and the examples.
demo_packages=(cmake ninja-build g++ pkg-config libfuse3-dev fuse3
  systemtap-sdt-dev)

packages=(
  "${demo_packages[@]}"
  gcc-12-multilib g++-12-multilib        # i686 build (its asm headers:
  linux-libc-dev:i386 qemu-user          # see below), run under emulation
  googletest libbenchmark-dev            # tests (built from source), benchmarks
  clang libclang-rt-14-dev               # libFuzzer
  dpkg-dev file                          # Debian packages (CPack)
  systemd groff-base                     # checks of the tmpfiles, sysusers
                                         # and unit files, the manual pages
)

# bpftrace for the test that fires a tracepoint (it skips, saying why, where
# bpftrace cannot attach).
packages+=(bpftrace)

# aarch64 and armhf: Debian's cross compilers, the arm64 libfuse3 for the
# cross-built zelkd, the target's runtime libraries from which the cross
# packages' dependencies are computed, and the i386 kernel headers. The cross
# compilers conflict with gcc-multilib, whose only content is the
# /usr/include/asm link that -m32 builds otherwise lack: linux-libc-dev:i386
# gives them /usr/include/i386-linux-gnu/asm instead, so gcc-multilib is not
# used.
packages+=(
  crossbuild-essential-arm64 crossbuild-essential-armhf
  libfuse3-dev:arm64
  libstdc++6:arm64 libc6:armhf libstdc++6:armhf libgcc-s1:armhf
)
foreign=(i386 arm64 armhf)

case ${1:-} in
  '') ;;
  demo) packages=("${demo_packages[@]}"); foreign=() ;;
  *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${packages[@]}"; do
  # A name without an architecture means the machine's own: a foreign
  # architecture's copy (libfuse3-dev:arm64) does not count for it.
  [[ $pkg == *:* ]] || pkg="$pkg:$(dpkg --print-architecture)"
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [[ $status != "install ok installed" ]]; then
    # Architecture-independent packages are known by their bare name.
    status=$(dpkg-query -W -f='${Status} ${Architecture}' "${pkg%%:*}" \
      2>/dev/null || true)
    [[ $status == "install ok installed all" ]] || missing+=("${pkg%:"$(dpkg --print-architecture)"}")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

# Runs apt-get, waiting (up to about ten minutes) while another package
# manager holds the lock instead of failing at once.
apt_get() {
  local log
  log=$(mktemp)
  for _ in $(seq 120); do
    if "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=5 "$@" 2>"$log"; then
      rm -f "$log"
      return 0
    fi
    if ! grep -qiE 'could not get lock|unable to (acquire|lock)' "$log"; then
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    echo "waiting for another package manager to finish..."
    sleep 5
  done
  cat "$log" >&2
  rm -f "$log"
  return 1
}

# Packages of other architectures (name:arch) need that architecture known
# to dpkg before the package lists are read.
known=" $(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ')"
for arch in "${foreign[@]}"; do
  [[ $known == *" $arch "* ]] || "${sudo[@]}" dpkg --add-architecture "$arch"
done
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
