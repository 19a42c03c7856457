#!/usr/bin/env bash
# A bounded run of one fuzz target for the test suite:
#   run_bounded.sh <fuzzer> <corpus dir> <work dir> <executions>
# The corpus of the repository runs first, then libFuzzer mutates it for a fixed number of
# executions from a fixed seed, so that a run is repeatable. New inputs go to <work dir>/new
# (emptied first; the repository is never written), a failing input to <work dir>/crash-* (or
# timeout-*, oom-*), and the test fails.
#
# -detect_leaks=0: every input leaves a little host memory behind on purpose (the bus keeps the
# records of the devices that were plugged in), which would make libFuzzer run the leak scanner
# after every input; leaks of kernel allocations are what the targets check themselves.
set -uo pipefail
fuzzer=$1 corpus=$2 work=$3 runs=$4
# AddressSanitizer's options as scripts/fuzz.sh sets them (half the processor time per input).
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=8:quarantine_size_mb=32}
rm -rf "$work"
mkdir -p "$work/new"
start=$(date +%s%N)
"$fuzzer" -runs="$runs" -seed=1 -timeout=30 -rss_limit_mb=4096 -max_len=4096 -detect_leaks=0 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/new" "$corpus" >"$work/log" 2>&1
rc=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
if [ $rc -ne 0 ]; then
    cat "$work/log"
    echo "the failing input: $(ls "$work"/crash-* "$work"/timeout-* "$work"/oom-* 2>/dev/null)"
else
    grep -E '^(INFO: seed corpus|#[0-9]+[[:space:]]+(INITED|DONE))|^stat::' "$work/log"
fi
echo "$(basename "$fuzzer"): $runs executions in ${elapsed} ms, exit status $rc"
exit $rc
