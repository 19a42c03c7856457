#!/usr/bin/env bash
# Long runs of both fuzz targets (make fuzz): scripts/fuzz.sh <build dir> [seconds per target]
# The two targets run side by side (one core each) for the given time (FUZZ_SECONDS, 600 by
# default), starting from the corpus in tests/fuzz/corpus. New inputs and failing inputs go to
# build/fuzz-corpus/<target>, never into the repository. To keep a find for good, minimise it
# into the repository's corpus on purpose:
#   <build dir>/bin/fuzz_<target> -merge=1 tests/fuzz/corpus/<target> build/fuzz-corpus/<target>
# and add a regression test for the fault it found.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/asan}
seconds=${2:-${FUZZ_SECONDS:-600}}
out=build/fuzz-corpus
status=0

for target in hostile_device hostile_application; do
    if [ ! -x "$build/bin/fuzz_$target" ]; then
        echo "fuzz: $build/bin/fuzz_$target is missing (the fuzz targets need the clang asan build)"
        exit 1
    fi
done

pids=()
for target in hostile_device hostile_application; do
    mkdir -p "$out/$target"
    echo "fuzz: $target for $seconds s, log in $out/$target.log"
    "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
        -max_len=4096 -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$out/$target/" \
        "$out/$target" "tests/fuzz/corpus/$target" >"$out/$target.log" 2>&1 &
    pids+=($!)
done

i=0
for target in hostile_device hostile_application; do
    wait "${pids[$i]}"
    rc=$?
    i=$((i + 1))
    runs=$(grep -oE '^stat::number_of_executed_units: [0-9]+' "$out/$target.log" | grep -oE '[0-9]+$')
    found=$(ls "$out/$target"/crash-* "$out/$target"/timeout-* "$out/$target"/oom-* 2>/dev/null)
    echo "fuzz: $target: ${runs:-?} executions, exit status $rc"
    if [ $rc -ne 0 ] || [ -n "$found" ]; then
        status=1
        grep -m 3 -E 'vavedu fuzz: FAILURE|\*\*\* STOP|ERROR: AddressSanitizer|runtime error' \
            "$out/$target.log"
        echo "fuzz: $target failing inputs: $found"
    fi
done
exit $status
