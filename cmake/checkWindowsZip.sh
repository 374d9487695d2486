#!/usr/bin/env bash
# Checks the Windows zip as a user would meet it: unpacked into a new Wine
# prefix with nothing installed and nothing on its search path, the program
# lists the interfaces (/list) and stores a choice unattended
# (/silent /select=ADDRESS /ospl) in a copy of the demo installation, so no
# DLL or plug-in is missing. Then once more with the plug-ins moved out of
# the program's folder into the installation's SYS\windows\lib, which the
# program makes its only plug-in folder: the run works only if that folder
# is used (/list starts no window system; storing does, and without a
# platform plug-in it cannot).
#   checkWindowsZip.sh ZIP DEMO_INSTALLATION
set -euo pipefail
zip=$1 demo=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix
drive=$WINEPREFIX/drive_c
# A run that cannot start its toolkit shows a message box nobody answers.
run() { timeout 120 "$here/wine-run.sh" "$@"; }

echo "windows_zip: a new Wine prefix (about 15 s)"
run cmd /c ver >/dev/null
mkdir -p "$drive/program"
(cd "$drive/program" && cmake -E tar xf "$zip")
program=$(cd "$drive/program" && ls -d nicChooser-*-win64)
echo "windows_zip: unpacked: $(cd "$drive/program/$program" && find . -type f | sort | tr '\n' ' ')"
exe="C:\\program\\$program\\nicChooser.exe"

# One unattended round in a fresh copy of the demo installation.
round() {
  rm -rf "$drive/site" && cp -r "$demo" "$drive/site"
  system=$(basename "$(find "$drive/site" -mindepth 1 -maxdepth 1 -type d | head -n 1)")
  if [ "$1" = moved ]; then
    mkdir -p "$drive/site/$system/windows/lib"
    mv "$drive/program/$program/platforms" "$drive/program/$program/styles" "$drive/site/$system/windows/lib/"
  fi
  export CC_ROOT='C:\site' CC_SYSTEM=$system QT_FORCE_STDERR_LOGGING=1
  rows=$(run "$exe" /list 2>"$work/list.err") || { cat "$work/list.err" >&2; echo "windows_zip: /list failed" >&2; exit 1; }
  echo "$rows" | sed 's/^/  /'
  address=$(echo "$rows" | awk -F'\t' 'NF >= 3 && $2 != "127.0.0.1" { print $2; exit }')
  [ -n "$address" ] || { echo "windows_zip: /list gave no address besides the loopback" >&2; exit 1; }
  if ! run "$exe" /silent "/select=$address" /ospl 2>"$work/store.err"; then
    cat "$work/store.err" >&2; echo "windows_zip: storing $address failed" >&2; exit 1
  fi
  grep -q "^bindAddress=$address" "$drive/site/local_settings.ini" ||
    { echo "windows_zip: local_settings.ini does not hold $address" >&2; exit 1; }
  grep -q ">$address</NetworkInterfaceAddress>" "$drive/site/$system/config/dds/ospl.xml" ||
    { echo "windows_zip: ospl.xml does not hold $address" >&2; exit 1; }
  echo "windows_zip: $1: /list and /silent /select=$address /ospl stored both files"
}
round beside
round moved
