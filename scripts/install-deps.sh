#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running libzelk
# need, and only those that are missing. Needs root (or sudo) when something
# is missing; does nothing otherwise.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config       # the build
  gcc-12-multilib g++-12-multilib        # i686 build (its asm headers:
  linux-libc-dev:i386 qemu-user          # see below), run under emulation
  googletest libbenchmark-dev            # tests (built from source), benchmarks
  libfuse3-dev fuse3                     # the zelkd driver daemon
  clang libclang-rt-14-dev               # libFuzzer
  dpkg-dev file                          # Debian packages (CPack)
  systemd groff-base                     # checks of the tmpfiles, sysusers
                                         # and unit files, the manual pages
)

# aarch64 and armhf: Debian's cross compilers, the arm64 libfuse3 for the
# cross-built zelkd, the target's runtime libraries from which the cross
# packages' dependencies are computed, and the i386 kernel headers. The cross compilers
# conflict with gcc-multilib, whose only content is the /usr/include/asm
# link that -m32 builds otherwise lack: linux-libc-dev:i386 gives them
# /usr/include/i386-linux-gnu/asm instead, so gcc-multilib is not used.
packages+=(
  crossbuild-essential-arm64 crossbuild-essential-armhf
  libfuse3-dev:arm64
  libstdc++6:arm64 libc6:armhf libstdc++6:armhf libgcc-s1:armhf
)
foreign=(i386 arm64 armhf)

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
# Packages of other architectures (name:arch) need that architecture known
# to dpkg before the package lists are read.
known=" $(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ')"
for arch in "${foreign[@]}"; do
  [[ $known == *" $arch "* ]] || "${sudo[@]}" dpkg --add-architecture "$arch"
done
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
