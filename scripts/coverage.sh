#!/usr/bin/env bash
# Coverage of the kernel code (`make coverage`): builds the coverage preset (gcc --coverage,
# unoptimised), runs the test suite on it (every ctest test but those labelled wine) and writes,
# with gcovr, an HTML report of pcdriver/ to build/coverage/report/index.html and a summary of the
# driver (pcdriver/bulk/), the support library stand-in (pcdriver/support/) and both together to
# build/coverage/report/summary.txt, followed by the notes on what no test can reach
# (scripts/coverage-notes.md, also copied into the report).
#
# The model loads every kernel image as a fresh copy from a temporary directory (sim/system/
# image.cpp). That does not scatter the counters: gcc writes the absolute path of each object's
# .gcda file into the object itself, and each image carries its own copy of the counters' runtime
# (cmake/KernelImage.cmake links it with libgcov), which merges the image's counters into those
# files in the build tree when the copy is unloaded (dlclose runs its destructor). So every load of
# every copy, in every test process, adds to build/coverage/pcdriver/*/CMakeFiles/*.dir/*.gcda
# (and to the .gcda files of test images built from the same sources), where gcovr finds them. A
# process that ends in a bug check (a death test) aborts and writes nothing.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
dir=build/coverage
report=$dir/report

cmake --preset coverage >/dev/null || exit 1
nice cmake --build --preset coverage -j "$jobs" || exit 1

# Counters of earlier runs would add to these.
find "$dir" -name '*.gcda' -delete
rm -rf "$report"
mkdir -p "$report"

ctest --preset coverage -j "$jobs" -LE 'wine|lint' 2>&1 | tee "$report/ctest.log"
tests_rc=${PIPESTATUS[0]}

# One pass over the counters of kernel code, then the summaries and the HTML from its result.
gcovr --root . --object-directory "$dir" --filter 'pcdriver/' -j "$jobs" \
  --json "$report/kernel.json" "$dir" || exit 1
summary() {
  local title=$1 filter=$2
  echo "== $title ($filter)"
  gcovr --root . --add-tracefile "$report/kernel.json" --filter "$filter" --print-summary \
    --txt /dev/null | grep -E '^(lines|branches):'
}
{
  summary "driver" 'pcdriver/bulk/'
  summary "support library stand-in" 'pcdriver/support/'
  summary "kernel code" 'pcdriver/'
  echo
  gcovr --root . --add-tracefile "$report/kernel.json" --branches --txt -
  echo
  cat scripts/coverage-notes.md
} >"$report/summary.txt"
gcovr --root . --add-tracefile "$report/kernel.json" --html-details "$report/index.html" \
  --html-title "VaVedu kernel code" || exit 1
cp scripts/coverage-notes.md "$report/notes.md"
# The notes belong to the report: a link to them at the top of its index.
sed -i 's|<body>|<body><p><a href="notes.md">Notes: what no test reaches, and why</a></p>|' \
  "$report/index.html"

cat "$report/summary.txt"
echo
echo "HTML report: $report/index.html"
if [ "$tests_rc" -ne 0 ]; then
  echo "coverage: some tests failed (see $report/ctest.log); the figures cover the run as it went"
fi
exit "$tests_rc"
