#!/usr/bin/env bash
# Builds the Windows images: configures the build directory on first use, then builds.
#   windows/build.sh [BUILD_DIR [cmake --build options...]]
# BUILD_DIR defaults to build/windows; e.g. windows/build.sh build/windows --target all NegativeImages
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/windows}
shift || true
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root/windows" -B "$dir" -G Ninja --toolchain "$root/windows/mingw-w64.cmake"
fi
cmake --build "$dir" "$@"
