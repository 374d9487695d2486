#!/usr/bin/env bash
# Runs a Windows program under Wine as a test of the Windows build would on
# Windows: in a Wine prefix of its own kept in a cache (made on first use),
# with the DLL folders given on the search path, Wine's own chatter off, and
# on a virtual X server when there is no display (a Windows session always
# has a desktop; without one Wine cannot make windows). The exit status is
# the program's.
#   wine-run.sh [--dlls DIR]... PROGRAM.exe [ARG]...
# WINEPREFIX (else NC_WINE_PREFIX_NAME names one in the cache), WINEDEBUG and
# DISPLAY, when set, are kept; QT_* variables reach
# the program.
set -u
dlls=()
while [ "${1:-}" = --dlls ]; do dlls+=("$2"); shift 2; done
[ $# -ge 1 ] || { echo "usage: wine-run.sh [--dlls DIR]... PROGRAM [ARG]..." >&2; exit 2; }

cache=${NC_CACHE_DIR:-${XDG_CACHE_HOME:-/var/cache}/nicChooser}
export WINEPREFIX=${WINEPREFIX:-$cache/${NC_WINE_PREFIX_NAME:-wine}}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
wine=$(command -v wine64 || command -v /usr/lib/wine/wine64 || command -v wine)

winepath=
for d in "${dlls[@]}"; do winepath+="Z:${d//\//\\};"; done
export WINEPATH="$winepath${WINEPATH:-}"

# Wine leaves the QT_* variables of the Unix environment out of the Windows
# one (measured with Wine 8: QT_FORCE_STDERR_LOGGING set in the shell does
# not reach the program), but hands WINEQT_X on as QT_X: so every QT_*
# variable goes through under that name, and the toolkit's switches
# (QT_QPA_PLATFORM, QT_FORCE_STDERR_LOGGING, ...) reach the program.
while IFS= read -r name; do
  export "WINE$name=${!name}"
done < <(compgen -e | grep '^QT_' || true)

xvfb=
if [ -z "${DISPLAY:-}" ]; then
  # shellcheck source=../tests/xvfb.sh
  source "$(dirname "$0")/../tests/xvfb.sh"
  start_xvfb 1280x1024x24 || { echo "wine-run: no virtual X server could be started" >&2; exit 1; }
  xvfb=$XVFB_PID
  export DISPLAY=$XVFB_DISPLAY
fi
finish() {
  if [ -n "$xvfb" ]; then
    # Wine's desktop process holds the display until its server ends.
    timeout 10 "$(dirname "$wine")/wineserver" -w 2>/dev/null || true
    kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null
  fi
}
trap finish EXIT

# A new prefix sets itself up once (about 15 s); copies started at once wait
# for the first. Without the browser and .NET engines: nothing here needs a
# download offered on a screen nobody sees.
mkdir -p "$cache"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] ||
      WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=" "$wine" wineboot -i >/dev/null 2>&1
    "$(dirname "$wine")/wineserver" -w
  ) 9>"$cache/wine.lock"
fi
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=}
"$wine" "$@"
