#!/usr/bin/env bash
# Builds the benchmarks (dev preset) and runs them one after the other, each
# setting library calls beside their baseline in the same run. Run it on an
# otherwise idle machine; as root, the message-passing benchmark runs too
# (it starts its own zelkd) and the timer benchmark uses SCHED_RR.
# Usage: scripts/bench.sh [name ...]
#        names: frame thread timer convert driver probe
#        (default: all); results also go to build/dev/bench/results/
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} == --help || ${1:-} == -h ]]; then
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi

all=(frame thread timer convert driver probe)
names=("$@")
[[ ${#names[@]} -gt 0 ]] || names=("${all[@]}")
for name in "${names[@]}"; do
  [[ " ${all[*]} " == *" $name "* ]] || { echo "unknown benchmark: $name" >&2; exit 2; }
done

scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev >/dev/null

results=build/dev/bench/results
mkdir -p "$results"
for name in "${names[@]}"; do
  if [[ $name == driver && $(id -u) -ne 0 ]]; then
    echo "=== driver: skipped (needs root to mount zelkd's device file)"
    continue
  fi
  echo "=== $name ($(date +%T))"
  args=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
  [[ $name == timer || $name == driver ]] && args=()  # they repeat themselves
  [[ $name == timer ]] && args=(--out="$results" --benchmark_repetitions=5
    --benchmark_enable_random_interleaving=true)  # about 2.5 minutes
  [[ $name == probe ]] && args+=(--benchmark_enable_random_interleaving=true)
  "build/dev/bench/${name}_bench" "${args[@]}" | tee "$results/$name.txt"
done
echo "=== done; results in $results/"
