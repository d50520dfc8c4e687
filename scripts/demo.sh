#!/usr/bin/env bash
# Builds libzelk, zelkd and the demo program, and runs the demo with a zelkd
# of its own through zelkd-session: a private mount namespace with its own
# /dev/zelk and marker directory. Root runs it directly; another user runs it
# in a user namespace where the system allows that, else through sudo.
# Nothing of it is seen outside, and nothing is left behind.
# Usage: scripts/demo.sh [demo options]   (scripts/demo.sh --help lists them)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo
build=build/demo
cmake -S . -B "$build" -G Ninja -DZELK_BUILD_TESTS=OFF \
  -DZELK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target zelk_demo zelkd zelkd-session >/dev/null

session=("$build/zelkd/zelkd-session")
if [[ $(id -u) -ne 0 ]] && ! "${session[@]}" true 2>/dev/null; then
  echo "(no user namespace with FUSE for $(id -un) here: using sudo)"
  session=(sudo "${session[@]}")
fi
exec "${session[@]}" "$build/examples/zelk_demo" "$@"
