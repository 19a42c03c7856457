#!/usr/bin/env bash
# The whole suite: the default build's tests, then the sanitizer build's tests. Ends with one
# summary line over both runs.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
passed=0
failed=0
status=0

run_build() {
  local preset=$1
  echo "== $preset build =="
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" -j "$jobs" || return 1
}

run_tests() {
  local preset=$1 log
  log=$(mktemp)
  echo "== $preset tests =="
  ctest --preset "$preset" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    local f=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
    failed=$((failed + f))
    passed=$((passed + total - f))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  rm -f "$log"
  return "$rc"
}

# The sweep of allocation failures writes one report per scenario; sum them up.
low_resource_report() {
  local dir=$1
  [ -d "$dir" ] || return 0
  cat "$dir"/*.txt | awk '
    /^scenario/ { scenarios++; runs += $3 }
    /^  / { sites[$0] = 1 }
    END { printf "Low-resource sweep: %d scenarios, %d runs with one allocation site failing, %d distinct sites\n",
                 scenarios, runs, length(sites) }'
}

# The sweep of bus faults likewise: URB sites, and runs of one site failing with one status class.
bus_fault_report() {
  local dir=$1
  [ -d "$dir" ] || return 0
  cat "$dir"/*.txt | awk '
    /^scenario/ { scenarios++; sites += $3; runs += $6 }
    END { printf "Bus-fault sweep: %d scenarios, %d URB sites, %d runs with one URB failing with one class of USB status\n",
                 scenarios, sites, runs }'
}

for preset in default asan; do
  if ! run_build "$preset"; then
    echo "$preset build failed"
    failed=$((failed + 1))
    status=1
    continue
  fi
  rm -rf "build/$preset/reports/low-resource" "build/$preset/reports/bus-faults" \
    "build/$preset/reports/soak.txt"
  run_tests "$preset" || status=1
  low_resource_report "build/$preset/reports/low-resource"
  bus_fault_report "build/$preset/reports/bus-faults"
  [ -f "build/$preset/reports/soak.txt" ] && head -n 1 "build/$preset/reports/soak.txt"
done

# The concurrency tests under ThreadSanitizer, in a build of their own with only what they need.
echo "== tsan tests =="
tsan_log=$(mktemp)
bash scripts/tsan-tests.sh 2>&1 | tee "$tsan_log"
tsan_rc=${PIPESTATUS[0]}
tsan_line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$tsan_log" | tail -n 1)
if [[ $tsan_line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
  passed=$((passed + BASH_REMATCH[1]))
  failed=$((failed + BASH_REMATCH[2]))
elif [ "$tsan_rc" -ne 0 ]; then
  failed=$((failed + 1))
fi
[ "$tsan_rc" -eq 0 ] || status=1
rm -f "$tsan_log"

echo
echo "Summary: $passed passed, $failed failed"
exit $status
