#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for SECONDS (default 60; the
# test run gives each 20).
#   bash scripts/fuzz.sh [SECONDS]
# New inputs go to a scratch corpus; a failing input is written to
# build-san/fuzz-findings/ and the script fails. Keep such an input in
# fuzz/regressions/ once its fault is fixed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${SAN_BUILD_DIR:-$top/build-san}
bash "$top/scripts/deps.sh"
CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DBUILD_TESTING=ON -DNC_SANITIZE=ON -DNC_FUZZ=ON >/dev/null
cmake --build "$build" -j 2 --target fuzz_settings fuzz_osplConfig fuzz_help
findings=$build/fuzz-findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run() {
  local target=$1 maxlen=$2; shift 2
  mkdir -p "$scratch/$target"
  local log=$scratch/$target.log
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$maxlen" -print_final_stats=1 \
       -artifact_prefix="$findings/$target-" "$scratch/$target" "$@" >"$log" 2>&1; then
    tail -60 "$log" >&2
    echo "fuzz: $target found a fault; the input is in $findings" >&2
    return 1
  fi
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz: $target ran $execs inputs in ${seconds} s, no fault"
}
run fuzz_settings 4096 "$top/fuzz/corpus/settings" "$top/fuzz/regressions/settings"
run fuzz_osplConfig 16384 "$top/fuzz/regressions/ospl" "$top/tests/data/ospl" "$top/tests/data/xml" "$top/tests/data/services"
run fuzz_help 32768 "$top/fuzz/corpus/help" "$top/fuzz/regressions/help"
