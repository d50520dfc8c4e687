#!/usr/bin/env bash
# Runs the whole test suite: installs what the machine lacks, then builds and
# tests each configuration (x86_64 with warnings as errors, i686 under
# qemu-i386, AddressSanitizer+UBSan, ThreadSanitizer) and sums up.
# Usage: scripts/test.sh [preset ...]   (default: ci i686 aarch64 armhf asan tsan)
set -uo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} == --help || ${1:-} == -h ]]; then
  sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi

scripts/install-deps.sh || exit 1

# The driver tests run zelkd over FUSE. Load the module where the device is
# missing; where it stays unusable those tests skip and say why.
if [[ ! -c /dev/fuse ]] && command -v modprobe >/dev/null; then
  modprobe fuse 2>/dev/null || true
fi
if [[ -c /dev/fuse && -r /dev/fuse && -w /dev/fuse && $(id -u) -eq 0 ]]; then
  echo "FUSE: /dev/fuse is usable; the driver tests run"
else
  echo "FUSE: /dev/fuse missing or not usable as this user;" \
    "the driver tests will be skipped"
fi

presets=("$@")
[[ ${#presets[@]} -gt 0 ]] || presets=(ci i686 aarch64 armhf asan tsan)

failed=()
for preset in "${presets[@]}"; do
  echo "=== $preset: configure, build, test ==="
  start=$SECONDS
  if cmake --workflow --preset "$preset"; then
    echo "=== $preset: passed in $((SECONDS - start)) s ==="
  else
    echo "=== $preset: FAILED after $((SECONDS - start)) s ==="
    failed+=("$preset")
  fi
done

echo
echo "configurations: ${#presets[@]} run, ${#failed[@]} failed ${failed[*]:+(${failed[*]})}"
[[ ${#failed[@]} -eq 0 ]]
