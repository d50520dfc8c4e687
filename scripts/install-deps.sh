#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running libzelk
# need, and only those that are missing. Needs root (or sudo) when something
# is missing; does nothing otherwise. Waits while another package manager
# holds its lock.
# Usage: scripts/install-deps.sh [demo]
#   (no argument: everything the whole test suite needs; demo: only what
#   building and running the demo needs)
set -euo pipefail

# Building libzelk, zelkd and the examples.
demo_packages=(cmake ninja-build g++ pkg-config libfuse3-dev fuse3)

packages=(
  "${demo_packages[@]}"
  gcc-multilib g++-multilib qemu-user    # i686 build, run under emulation
  googletest libbenchmark-dev            # tests (built from source), benchmarks
  clang libclang-rt-14-dev               # libFuzzer
  dpkg-dev file                          # Debian packages (CPack)
  systemd groff-base                     # checks of the tmpfiles, sysusers
                                         # and unit files, the manual pages
)
case ${1:-} in
  '') ;;
  demo) packages=("${demo_packages[@]}") ;;
  *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${packages[@]}"; do
  # One line per installed architecture (libfoo-dev:amd64, libfoo-dev:i386).
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null |
    grep -qx 'install ok installed' || missing+=("$pkg")
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

apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
