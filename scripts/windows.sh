#!/usr/bin/env bash
# Builds the Windows program (64-bit, MinGW-w64) and its test programs in
# build-win/, with the toolkit from ../shared/toolchains/ unpacked (checked
# against its known SHA-256) into a cache outside the work tree, and packs
# build-win/nicChooser-VERSION-win64.zip. Without that archive it builds the
# same toolkit from Debian's source package under CI=true (about an hour on
# 2 cores); elsewhere it says how and skips (status 77).
#   windows.sh            configure and build
#   windows.sh --test     ... then run the Windows tests under Wine and the
#                         zip check (ctest in build-win)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${WIN_BUILD_DIR:-$top/build-win}
cache=${NC_CACHE_DIR:-${XDG_CACHE_HOME:-/var/cache}/nicChooser}
shared=${NC_TOOLCHAINS:-$top/../shared/toolchains}
archive=qt5-5.15.8-x86_64-w64-mingw32.tar.xz
sha256=6642ae37ef048c1e562d3d3ca110632fdd939ffd132efb6bc0542c6b33ed66ff
qt=$cache/qt5-x86_64-w64-mingw32

unpack() {
  echo "$sha256  $1" | sha256sum -c --quiet - || { echo "windows.sh: $1 is not the known toolkit archive" >&2; exit 1; }
  rm -rf "$cache/unpack" && mkdir -p "$cache/unpack"
  tar -C "$cache/unpack" -xJf "$1"
  rm -rf "$qt" && mv "$cache/unpack/qt5-x86_64-w64-mingw32" "$qt" && rmdir "$cache/unpack"
  echo "$sha256" > "$qt/.archive-sha256"
}

mkdir -p "$cache"
if [ "$(cat "$qt/.archive-sha256" 2>/dev/null)" != "$sha256" ]; then
  if [ -f "$shared/$archive" ]; then
    unpack "$shared/$archive"
  elif [ "${CI:-}" = true ]; then
    # The build script is the one the archive was made with; it is kept in
    # the shared folder, so a machine without it has nothing to build from.
    script=$shared/build-qt-mingw.sh
    [ -f "$script" ] || { echo "windows.sh: neither $archive nor build-qt-mingw.sh in $shared" >&2; exit 1; }
    mkdir -p "$cache/qt-src"
    cp "$script" "$cache/qt-src/"
    bash "$cache/qt-src/build-qt-mingw.sh" "$cache/qt-src/work"
    unpack "$cache/qt-src/$archive"
  else
    echo "windows.sh: $shared/$archive is missing; skipping the Windows build." >&2
    echo "  Build the toolkit with build-qt-mingw.sh (Debian's qtbase source, about an hour on 2 cores)," >&2
    echo "  put the archive there (or set NC_TOOLCHAINS to its folder) and run this again." >&2
    exit 77
  fi
fi

for tool in x86_64-w64-mingw32-g++-posix Xvfb; do
  command -v "$tool" >/dev/null || { echo "windows.sh: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || { echo "windows.sh: wine64 is missing" >&2; exit 1; }

cmake -S "$top" -B "$build" -G Ninja -DBUILD_TESTING=ON -DNC_QT_DIR="$qt" \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build" -j 2
echo "windows.sh: built $(ls "$build"/nicChooser-*-win64.zip)"
if [ "${1:-}" = --test ]; then
  (cd "$build" && ctest --output-on-failure -j 1)
fi
