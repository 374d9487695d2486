#!/usr/bin/env bash
# Builds what the benchmarks need and prints the table (see bench/README.md).
#   bash bench/run.sh            the full run, about a minute
#   bash bench/run.sh --quick    a few seconds: checks that every measurement runs
# Run as root: the dialog is measured in network namespaces the run creates.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j 2 --target ncbench
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)," \
     "$(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), Linux $(uname -r)," \
     "Qt $(pkg-config --modversion Qt5Core 2>/dev/null || echo '?')"
"$build/bench/ncbench" "$@"
