#!/usr/bin/env bash
# Runs the benchmarks of a build and writes build/bench/results.json and build/bench/report.txt.
#   scripts/bench.sh [BUILD_DIR]     (default build/default; BENCH_MIN_TIME seconds per benchmark)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
out=build/bench
mkdir -p "$out"
# Three repetitions of each benchmark: the report takes the median, as the machine may be shared.
"$build/bin/vavedu_bench" --benchmark_min_time="${BENCH_MIN_TIME:-0.2}" \
  --benchmark_repetitions="${BENCH_REPETITIONS:-3}" --benchmark_display_aggregates_only=true \
  --benchmark_out="$out/benchmarks.json" --benchmark_out_format=json
python3 scripts/callgrind-driver-cost.py "$build" --json "$out/callgrind.json" >/dev/null
python3 scripts/bench-report.py "$out"
