#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DBUILD_TESTING=ON
cmake --build "$build" -j 2
cd "$build"
ctest --output-on-failure -j 1
