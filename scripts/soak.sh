#!/usr/bin/env bash
# The soak (make soak): scripts/soak.sh <build dir> [minutes] [least Plug and Play cycles]
# Plug and Play cycles under concurrent reads and writes with checked data, every device-control
# request, selections, cancels and random low resources, for the given minutes (SOAK_MINUTES, 10 by
# default) and at least the given cycles (SOAK_MIN_CYCLES, 0 by default); SOAK_SEED picks another
# run. Prints what it did; fails on a request lost or completed twice, a leak, hang or bug check.
# Its figures stay in <build dir>/reports/soak.txt.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
minutes=${2:-${SOAK_MINUTES:-10}}
cycles=${3:-${SOAK_MIN_CYCLES:-0}}

if [ ! -x "$build/bin/soak_tests" ]; then
    echo "soak: $build/bin/soak_tests is missing"
    exit 1
fi
echo "soak: $minutes min, at least $cycles cycles, on $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
VAVEDU_SOAK_SECONDS=$((minutes * 60)) VAVEDU_SOAK_MIN_CYCLES=$cycles \
    VAVEDU_SOAK_SEED=${SOAK_SEED:-1} "$build/bin/soak_tests" --gtest_brief=1
