#!/usr/bin/env bash
# The concurrency tests under ThreadSanitizer: builds the tsan preset (only the test executables
# and the kernel images they load), then runs every test of the concurrency suites in a process of
# its own, two at a time, with the suppressions of tests/driver/tsan_suppressions.txt. A process
# that loads the kernel images again and again (one load per test) would leave the sanitizer
# naming the frames of unloaded copies. A data race fails the test it happens in. Ends with one
# line "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
dir=build/tsan
passed=0
failed=0

if ! { cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$jobs"; }; then
  echo "tsan build failed"
  echo "0 passed, 1 failed"
  exit 1
fi

export TSAN_OPTIONS="suppressions=$PWD/tests/driver/tsan_suppressions.txt halt_on_error=0 exitcode=66 second_deadlock_stack=1"

# executable, then the gtest filter of its concurrency suites
suites=(
  "driver_io_tests Stress.*"
  "driver_reliability_tests PnpUnderLoad.*:Races.*:*/CancelRace.*:*/IoctlRace.*"
)

logs=$(mktemp -d)
list=$logs/tests
: >"$list"
for entry in "${suites[@]}"; do
  read -r exe filter <<<"$entry"
  # "Suite." lines, then indented test names (a parameter comment may follow)
  "$dir/bin/$exe" --gtest_list_tests --gtest_filter="$filter" |
    awk -v exe="$exe" '/^[^ ]/ {suite=$1; next} /^  / {print exe, suite $1}' >>"$list"
done

run_one() {
  local exe=$1 name=$2 logs=$3 dir=$4
  local log=$logs/$(echo "$name" | tr '/' '_').log
  if timeout 600 "$dir/bin/$exe" --gtest_filter="$name" >"$log" 2>&1; then
    echo "PASS $name"
  else
    echo "FAIL $name"
  fi
}
export -f run_one

results=$logs/results
xargs -P "$jobs" -L 1 bash -c 'run_one "$0" "$1" "'"$logs"'" "'"$dir"'"' <"$list" | tee "$results"
passed=$(grep -c '^PASS' "$results")
failed=$(grep -c '^FAIL' "$results")
for name in $(awk '/^FAIL/ {print $2}' "$results"); do
  echo "---- $name"
  cat "$logs/$(echo "$name" | tr '/' '_').log"
done
rm -rf "$logs"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
