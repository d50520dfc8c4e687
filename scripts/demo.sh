#!/usr/bin/env bash
# Builds libzelk and runs its demo program.
# Usage: scripts/demo.sh [demo options]   (scripts/demo.sh --help lists them)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target zelk_demo >/dev/null
exec build/dev/examples/zelk_demo "$@"
