#!/usr/bin/env bash
# Campaigns of both fuzz targets (make fuzz): scripts/fuzz.sh <build dir>
# The two targets run side by side (one core each, under nice) from the corpus in
# tests/fuzz/corpus, for FUZZ_RUNS executions each when it is set, else for FUZZ_SECONDS (600 by
# default). New and failing inputs go to build/fuzz-corpus/<target>, never into the repository;
# at the end each target's figures are printed (executions, inputs per second, coverage of kernel
# code, features, corpus size). To keep the finds for good, minimise them into the repository's
# corpus on purpose:
#   <build dir>/bin/fuzz_<target> -merge=1 tests/fuzz/corpus/<target> build/fuzz-corpus/<target>
# and keep a failing input there as the regression of the fault it found.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/asan}
out=build/fuzz-corpus
targets=(hostile_device hostile_application)
if [ -n "${FUZZ_RUNS:-}" ]; then
    limit=(-runs="$FUZZ_RUNS")
    what="$FUZZ_RUNS executions"
else
    limit=(-max_total_time="${FUZZ_SECONDS:-600}")
    what="${FUZZ_SECONDS:-600} s"
fi

for target in "${targets[@]}"; do
    if [ ! -x "$build/bin/fuzz_$target" ]; then
        echo "fuzz: $build/bin/fuzz_$target is missing (the fuzz targets need the clang asan build)"
        exit 1
    fi
done

# A smaller quarantine of freed memory and shorter allocation stacks than AddressSanitizer's
# defaults halve the processor time per input (and the memory); use-after-free within the last
# 32 MB freed is still caught, which is far more than an input frees.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=8:quarantine_size_mb=32}

pids=()
for target in "${targets[@]}"; do
    mkdir -p "$out/$target"
    echo "fuzz: $target for $what, log in $out/$target.log"
    nice "$build/bin/fuzz_$target" "${limit[@]}" -timeout=30 -rss_limit_mb=4096 -max_len=4096 \
        -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$out/$target/" \
        "$out/$target" "tests/fuzz/corpus/$target" >"$out/$target.log" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
    target=${targets[$i]}
    wait "${pids[$i]}"
    rc=$?
    log=$out/$target.log
    stat() { grep -oE "^stat::$1: *[0-9]+" "$log" | grep -oE '[0-9]+$'; }
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    cov=$(grep -oE 'cov: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
    ft=$(grep -oE 'ft: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
    corp=$(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$last" | cut -d' ' -f2)
    echo "fuzz: $target: $(stat number_of_executed_units) executions," \
        "$(stat average_exec_per_sec) per second, coverage $cov edges of kernel code," \
        "$ft features, corpus $corp, exit status $rc"
    found=$(ls "$out/$target"/crash-* "$out/$target"/timeout-* "$out/$target"/oom-* 2>/dev/null)
    if [ $rc -ne 0 ] || [ -n "$found" ]; then
        status=1
        grep -m 3 -E 'vavedu fuzz: FAILURE|\*\*\* STOP|ERROR: AddressSanitizer|runtime error' "$log"
        echo "fuzz: $target failing inputs: $found"
    fi
done
exit $status
