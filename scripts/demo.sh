#!/usr/bin/env bash
# Builds the tool and runs it against a fresh copy of the demo installation.
#   scripts/demo.sh [SWITCHES...]      e.g. scripts/demo.sh /ospl
# Without a display it runs offscreen, so only a /silent run can end by itself.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j 2 --target nicChooser
root=$(mktemp -d)
cp -r "$top/demo/installation/." "$root/"
export CC_ROOT=$root CC_SYSTEM=DEMO
echo "Demo installation: $root"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running offscreen with 'timeout 5'."
  export QT_QPA_PLATFORM=offscreen
  timeout 5 "$build/nicChooser/nicChooser/nicChooser" "$@" || true
else
  "$build/nicChooser/nicChooser/nicChooser" "$@"
fi
echo "--- $root/local_settings.ini"
cat "$root/local_settings.ini"
echo "--- NetworkInterfaceAddress in $root/DEMO/config/dds/ospl.xml"
grep -n NetworkInterfaceAddress "$root/DEMO/config/dds/ospl.xml"
