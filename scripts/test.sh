#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, each stage
# timed, ending with the table of stages:
#   the Linux build and its suites; the Debian package's check; the Windows
#   build (scripts/windows.sh) with its suites under Wine and its demo; the
#   mutation check (every listed fault caught by the rows it names); the
#   build with AddressSanitizer and UndefinedBehaviorSanitizer and its suites;
#   each fuzz target for FUZZ_SECONDS (default 20).
#   scripts/test.sh            all of it
#   scripts/test.sh --quick    after a change: the Linux build and every
#                              suite but the reliability one (ctest -LE slow)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# The caller that set NC_STAGES prints the table; otherwise this script does.
[ -n "${NC_STAGES:-}" ] || trap 'stage_table' EXIT
# shellcheck source=stages.sh
source "$top/scripts/stages.sh"
quick=false
[ "${1:-}" = --quick ] && quick=true

build=${BUILD_DIR:-$top/build}
linux_build() {
  cmake -S "$top" -B "$build" -G Ninja -DBUILD_TESTING=ON >/dev/null
  cmake --build "$build" -j 2
}
stage "Debian packages" bash "$top/scripts/deps.sh"
stage "Linux build" linux_build
if $quick; then
  stage "Linux suites but the slow one" bash -c "cd '$build' && ctest --output-on-failure -j 1 -LE slow"
  exit 0
fi
stage "Linux suites" bash -c "cd '$build' && ctest --output-on-failure -j 1"
# The Debian package: built, linted, installed, used, removed (77: skipped,
# not root; under CI=true it fails instead).
package() { bash "$top/tests/package.sh" "$build" || [ $? = 77 ]; }
stage "Debian package" package

# The Windows program from the shared toolkit, its suites under Wine and the
# zip check; skipped (77) only outside CI when the toolkit is not at hand.
windows_status=0
stage "Windows build and suites" bash "$top/scripts/windows.sh" --test || windows_status=$?
[ "$windows_status" -eq 0 ] || [ "$windows_status" -eq 77 ] || exit "$windows_status"
if [ "$windows_status" -eq 0 ]; then
  stage "Windows demo" bash "$top/tests/demo-check.sh" -- bash scripts/demo.sh --windows /ospl
fi

stage "mutation check" python3 -u "$top/tests/mutants.py" --build "$build"

# The same tests over sanitized code.
san=${SAN_BUILD_DIR:-$top/build-san}
sanitizers() {
  CXX=clang++ cmake -S "$top" -B "$san" -G Ninja -DBUILD_TESTING=ON -DNC_SANITIZE=ON -DNC_FUZZ=ON >/dev/null
  cmake --build "$san" -j 2
  cd "$san" && ctest --output-on-failure -j 1
}
stage "sanitizer build and suites" sanitizers

stage "fuzz targets" env SAN_BUILD_DIR="$san" bash "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-20}"
