#!/usr/bin/env bash
# Builds libzelk and zelkd and runs the demo program. Message passing needs
# the zelkd driver: the script starts it in a private mount namespace with a
# /dev of its own (root needed; sudo is used when not root), and stops it
# afterwards. Nothing of it is visible outside, and nothing is left behind.
# Usage: scripts/demo.sh [demo options]   (scripts/demo.sh --help lists them)
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${ZELK_DEMO_NAMESPACE:-} != 1 ]]; then
  scripts/install-deps.sh
  cmake --preset dev >/dev/null
  cmake --build --preset dev --target zelk_demo zelkd >/dev/null
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  exec "${sudo[@]}" env ZELK_DEMO_NAMESPACE=1 \
    unshare --mount --propagation private "$0" "$@"
fi

# In the private namespace: a tmpfs /dev with the nodes the demo needs, so
# that a zelkd of the host (if any) is not in the way and the device file
# appears nowhere else.
dev=$(mktemp -d)
mount -t tmpfs -o mode=0755 zelk-demo-dev "$dev"
for node in null zero full random urandom tty fuse; do
  [[ -e /dev/$node ]] && cp -a "/dev/$node" "$dev/"
done
ln -s /proc/self/fd "$dev/fd"
if [[ -S /dev/log ]]; then
  touch "$dev/log"
  mount --bind /dev/log "$dev/log"
fi
mount --move "$dev" /dev
rmdir "$dev"

build/dev/zelkd/zelkd --foreground --quiet &
zelkd=$!
trap 'kill -TERM $zelkd 2>/dev/null; wait $zelkd 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q ' /dev/zelk ' /proc/self/mountinfo && break
  sleep 0.05
done
build/dev/examples/zelk_demo "$@"
