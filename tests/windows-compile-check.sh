#!/usr/bin/env bash
# Compile-checks the Windows halves (every *_win.cpp below SOURCE_DIR, with
# every folder there on the include path) with the 32-bit MinGW cross
# compiler, so that they at least build for i686, where nothing runs here. The
# toolkit headers are the host's, seen as system headers (their own
# cross-configuration warnings are not ours); our files must be warning-free.
#   windows-compile-check.sh SOURCE_DIR QT_INCLUDE_DIR
set -u
src=$1 qt=$2
cxx=$(command -v i686-w64-mingw32-g++-posix || command -v i686-w64-mingw32-g++ || true)
if [ -z "$cxx" ]; then
  echo "windows-compile-check: needs the MinGW cross compiler (g++-mingw-w64-i686-posix)" >&2
  [ "${CI:-}" = "true" ] && exit 1
  exit 77
fi
failed=0 passed=0
includes=()
while IFS= read -r d; do includes+=(-I "$d"); done < <(find "$src" -type d)
while IFS= read -r f; do
  out=$("$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Werror \
        -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets" -isystem "$qt/QtNetwork" \
        -isystem "$qt/QtXml" "${includes[@]}" "$f" 2>&1)
  if [ $? -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "$out" >&2; echo "FAIL: $f" >&2; fi
done < <(find "$src" -name '*_win.cpp' | sort)
[ $((passed + failed)) -gt 0 ] || { echo "no Windows sources found" >&2; exit 1; }
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
