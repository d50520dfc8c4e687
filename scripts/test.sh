#!/usr/bin/env bash
# Runs the whole test suite: installs what the machine lacks, then builds and
# tests each configuration (x86_64 with warnings as errors, i686 under
# qemu-i386, AddressSanitizer+UBSan, ThreadSanitizer) and sums up.
# Usage: scripts/test.sh [preset ...]   (default: ci i686 aarch64 armhf asan tsan)
#
# It ends with a verdict and time per configuration, each skipped test with
# its reason, and as its last line "N passed, M failed, K skipped" over all
# configurations; a configuration that fails before its tests run counts as
# one failure there.
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

# Prints "<name>: <reason>" for each test that ctest's output (file $1)
# lists as skipped, the reason taken from the test's own output in the
# build tree's LastTest.log: a GoogleTest skip message, else the last line
# the test printed.
skipped_tests() {
  local output=$1 build lastlog
  build=$(sed -n 's/^-- Build files have been written to: //p' "$output" |
    tail -n 1)
  lastlog=$build/Testing/Temporary/LastTest.log
  sed -n '/^The following tests did not run:/,/^$/p' "$output" |
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Skipped\|Disabled\))$/\1 \2/p' |
    while read -r name kind; do
      local reason=
      if [[ $kind == Disabled ]]; then
        reason="disabled"
      elif [[ -f $lastlog ]]; then
        reason=$(awk -v name="$name" '
          $0 ~ /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, "");
                                          mine = ($0 == name); next }
          !mine { next }
          /^<end of output>$/ { mine = 0; next }
          /: Skipped$/ { inskip = 1; next }
          /^\[  SKIPPED \]/ { inskip = 0; next }
          inskip && NF { skip = skip (skip == "" ? "" : " ") $0 }
          NF && !/^\[/ { last = $0 }
          END { print (skip != "" ? skip : last) }' "$lastlog")
      fi
      echo "$name: ${reason:-no reason given}"
    done
}

passed=0 failed=0 skipped=0
verdicts=() skips=() failed_presets=()
for preset in "${presets[@]}"; do
  echo "=== $preset: configure, build, test ==="
  start=$SECONDS
  output=$(mktemp)
  cmake --workflow --preset "$preset" 2>&1 | tee "$output"
  status=${PIPESTATUS[0]}
  took=$((SECONDS - start))

  summary=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' \
    "$output" | tail -n 1)
  mapfile -t preset_skips < <(skipped_tests "$output")
  if [[ -n $summary ]]; then
    read -r preset_failed total <<<"$summary"
  elif [[ $status -ne 0 ]]; then
    preset_failed=1 total=1 # failed before any test ran
  else
    preset_failed=0 total=0 # a workflow without tests
  fi
  preset_skipped=${#preset_skips[@]}
  preset_passed=$((total - preset_failed - preset_skipped))
  rm -f "$output"

  if [[ $status -eq 0 ]]; then
    verdict="passed in $took s"
  else
    verdict="FAILED after $took s"
    failed_presets+=("$preset")
  fi
  [[ -n $summary || $status -eq 0 ]] || verdict+=" (before its tests ran)"
  echo "=== $preset: $verdict ==="
  verdicts+=("$preset: $verdict: $preset_passed passed, $preset_failed failed, $preset_skipped skipped")
  for skip in "${preset_skips[@]}"; do
    skips+=("[$preset] $skip")
  done
  passed=$((passed + preset_passed))
  failed=$((failed + preset_failed))
  skipped=$((skipped + preset_skipped))
done

echo
echo "configurations: ${#presets[@]} run, ${#failed_presets[@]} failed${failed_presets[*]:+ (${failed_presets[*]})}"
printf '  %s\n' "${verdicts[@]}"
if [[ ${#skips[@]} -gt 0 ]]; then
  echo "skipped tests:"
  printf '  %s\n' "${skips[@]}"
fi
echo "$passed passed, $failed failed, $skipped skipped"
[[ ${#failed_presets[@]} -eq 0 ]]
