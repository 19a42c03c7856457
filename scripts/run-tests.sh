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

for preset in default asan; do
  if ! run_build "$preset"; then
    echo "$preset build failed"
    failed=$((failed + 1))
    status=1
    continue
  fi
  run_tests "$preset" || status=1
done

echo
echo "Summary: $passed passed, $failed failed"
exit $status
