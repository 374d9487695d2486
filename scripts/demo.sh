#!/usr/bin/env bash
# Builds the tool and runs it on a fresh copy of the demo installation.
#   scripts/demo.sh [--windows] [--keep] [SWITCHES...]      e.g. scripts/demo.sh /ospl
# --windows runs the Windows executable of the shipped folder (built by
# scripts/windows.sh) under Wine instead.
# With a display, the dialog is yours to drive. Without one (a server, an SSH
# session), the demo drives it itself in a virtual X server: inside a network
# namespace with known interfaces when run as root, it saves a screenshot,
# chooses a row and presses Ok with the keyboard. Either way it ends by
# printing what changed in both files, and exits with the tool's status (1
# when the dialog never appeared or did not close). --keep leaves the copy in
# place.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
exe=$build/nicChooser/nicChooser/nicChooser
# The tool as this demo runs it: CC_ROOT as the given folder, CC_SYSTEM=DEMO.
tool() {
  local root=$1; shift
  if [ "${NC_DEMO_WINDOWS:-}" = 1 ]; then
    # Wine shows the Linux file system as drive Z:. The prefix is the demo's
    # own: Wine lists interfaces in a helper process of its server, which
    # must start in the namespace the demo runs in.
    export WINEPREFIX=${NC_DEMO_WINEPREFIX:-${XDG_CACHE_HOME:-/var/cache}/nicChooser/wine-demo}
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    env -u QT_QPA_PLATFORM CC_ROOT="Z:${root//\//\\}" CC_SYSTEM=DEMO QT_FORCE_STDERR_LOGGING=1 \
      "$top/cmake/wine-run.sh" "$(windows_exe)" "$@"
  else
    CC_ROOT=$root CC_SYSTEM=DEMO "$exe" "$@"
  fi
}
winbuild=${WIN_BUILD_DIR:-$top/build-win}
# The shipped folder's executable; asked for only once scripts/windows.sh has made it.
windows_exe() {
  local folder
  for folder in "$winbuild"/nicChooser-*-win64; do
    [ -f "$folder/nicChooser.exe" ] && { echo "$folder/nicChooser.exe"; return; }
  done
  echo "demo: no nicChooser.exe in $winbuild (scripts/windows.sh builds it)" >&2
  return 1
}

# The unattended part, run under Xvfb (and in the namespace when root).
if [ "${NC_DEMO_STAGE:-}" = drive ]; then
  root=$1; shift
  # shellcheck source=../tests/xvfb.sh
  source "$top/tests/xvfb.sh"
  start_xvfb 1024x768x24 || { echo "demo: Xvfb did not start" >&2; exit 1; }
  xvfb=$XVFB_PID
  trap 'kill $xvfb 2>/dev/null' EXIT
  export DISPLAY=$XVFB_DISPLAY
  QT_QPA_PLATFORM=xcb tool "$root" "$@" 2>"$root.debug" &
  app=$!
  # Under Wine a new prefix first sets itself up (about 15 s). xdotool's own
  # --sync wait dies of an X error when a window it lists goes away, as
  # Wine's start-up windows do: look again instead.
  wait=10; [ "${NC_DEMO_WINDOWS:-}" = 1 ] && wait=60
  until=$((SECONDS + wait)) win=
  while [ -z "$win" ] && [ $SECONDS -lt $until ] && kill -0 "$app" 2>/dev/null; do
    win=$(xdotool search --onlyvisible --name "Set network adaptor" 2>/dev/null | head -n 1) || true
    [ -n "$win" ] || sleep 0.2
  done
  status=0
  if [ -n "$win" ]; then
    xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
    sleep 0.5
    import -window "$win" "$NC_DEMO_SHOT" && echo "Screenshot of the dialog: $NC_DEMO_SHOT"
    echo "Choosing the next row with Down and pressing Ok with Enter."
    sleep 0.3
    xdotool key --delay 250 Down space Return
  elif kill -0 "$app" 2>/dev/null; then
    echo "demo: no dialog window appeared within $wait s" >&2
    status=1
  fi
  for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app" 2>/dev/null; then
    echo "The dialog is still open (a message box?); closing it." >&2
    kill "$app"
    status=1
  fi
  set +e; wait "$app"; app_status=$?; set -e
  echo "Exit status: $app_status"
  grep '^nicChooser: ' "$root.debug" | tr -d '\r' || true
  rm -f "$root.debug"
  [ "$status" = 0 ] || exit "$status"
  exit "$app_status"
fi

keep=false
if [ "${1:-}" = --windows ]; then export NC_DEMO_WINDOWS=1; shift; fi
if [ "${1:-}" = --keep ]; then keep=true; shift; fi
bash "$top/scripts/deps.sh"
if [ "${NC_DEMO_WINDOWS:-}" = 1 ]; then
  bash "$top/scripts/windows.sh"
  echo "The Windows executable, as shipped: $(windows_exe) (under Wine)"
else
  # Configured as the tests configure it, so that sharing the build folder
  # with them never turns them off; only the tool itself is built.
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" -j 2 --target nicChooser
fi
root=$(mktemp -d)
$keep || trap 'rm -rf "$root" "$root.before"' EXIT
cp -r "$top/demo/installation/." "$root/"
cp -r "$root" "$root.before"
echo "Demo installation: $root"

status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  tool "$root" "$@" || status=$?
  echo "Exit status: $status"
else
  echo "No display: driving the dialog in a virtual X server."
  shot=$build/nicChooser-demo.png
  [ "${NC_DEMO_WINDOWS:-}" = 1 ] && shot=$winbuild/nicChooser-demo.png
  export NC_DEMO_STAGE=drive NC_DEMO_SHOT=$shot
  if [ "$(id -u)" = 0 ]; then
    echo "As root: in a network namespace whose interfaces are nc0 (10.77.1.1, 10.77.1.2), nc1 (10.77.4.1), né (10.77.5.1) and one whose name is no UTF-8 (10.77.6.1)."
    bash "$top/tests/in-netns.sh" bash "$0" "$root" "$@" || status=$?
  else
    bash "$0" "$root" "$@" || status=$?
  fi
fi

echo "--- What changed in local_settings.ini"
diff -u "$root.before/local_settings.ini" "$root/local_settings.ini" || true
echo "--- What changed in DEMO/config/dds/ospl.xml"
diff -u "$root.before/DEMO/config/dds/ospl.xml" "$root/DEMO/config/dds/ospl.xml" || true
$keep && echo "Kept: $root (and the original in $root.before)"
exit "$status"
