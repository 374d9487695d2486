#!/usr/bin/env bash
# A person's path: the real executable in a real X server, driven with the
# keyboard through xdotool. Runs inside in-netns.sh, so the rows are known
# (nc0 10.77.1.1, nc0 10.77.1.2, nc1 10.77.4.1).
#   gui.sh EXECUTABLE TESTDATA [SCREENSHOT.png]
set -u
exe=$1 data=$2 shot=${3:-}
skip() {
  echo "gui: $1" >&2
  if [ "${CI:-}" = "true" ]; then exit 1; fi
  exit 77
}
fail() { echo "gui: FAIL: $*" >&2; exit 1; }
command -v Xvfb >/dev/null || skip "needs Xvfb (package xvfb)"
command -v xdotool >/dev/null || skip "needs xdotool"
[ "${NC_NETNS_LAYOUT:-}" = 1 ] || skip "run through in-netns.sh"

work=$(mktemp -d)
xvfb=""
app=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

display=":$((200 + $$ % 500))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
xdotool getmouselocation >/dev/null 2>&1 || fail "Xvfb did not start"

mkdir -p "$work/SYS/config/dds"
cp "$data/ospl/adlink-etc-ospl_ddsi2.xml" "$work/SYS/config/dds/ospl.xml"
chmod u+w "$work/SYS/config/dds/ospl.xml"
ospl_before=$(cat "$work/SYS/config/dds/ospl.xml")
printf '[General]\r\nsite=North\r\n' > "$work/local_settings.ini"

# Starts the tool and waits for its window; sets $app and $win.
launch() {
  CC_ROOT=$work CC_SYSTEM=SYS QT_QPA_PLATFORM=xcb "$exe" "$@" 2>"$work/debug.txt" &
  app=$!
  win=$(timeout 10 xdotool search --sync --onlyvisible --name "Set network adaptor" | head -n 1)
  [ -n "$win" ] || fail "no dialog window appeared"
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
  sleep 0.3
}
# Waits for the tool to end; sets $rc to its exit status.
finish() {
  for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$app" 2>/dev/null && fail "the tool did not close"
  wait "$app"; rc=$?
  app=""
}

# 1. Choose the second row with the keyboard and press Ok.
launch /ospl
[ -n "$shot" ] && import -window "$win" "$shot" 2>/dev/null
xdotool key Down        # the table has focus and row 0 is current: Down moves to (and selects) row 1
xdotool key Tab Tab space # Help, then Ok
finish
[ "$rc" = 0 ] || { tail -40 "$work/debug.txt" >&2; fail "exit status $rc after Ok"; }
expected=$(printf '[General]\r\nsite=North\r\n[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n')
[ "$(cat "$work/local_settings.ini")" = "$expected" ] || fail "settings after Ok: $(od -c "$work/local_settings.ini" | head)"
grep -q '<NetworkInterfaceAddress>10.77.1.2</NetworkInterfaceAddress>' "$work/SYS/config/dds/ospl.xml" \
  || fail "ospl.xml was not updated"
echo "gui: Ok stored 10.77.1.2 / nc0 in both files"

# 2. Escape cancels: same exit status, nothing written.
cp "$work/local_settings.ini" "$work/ini.before"
cp "$work/SYS/config/dds/ospl.xml" "$work/ospl.before"
launch /ospl
xdotool key Down Escape
finish
[ "$rc" = 0 ] || fail "exit status $rc after Escape"
cmp -s "$work/local_settings.ini" "$work/ini.before" || fail "Escape changed the settings file"
cmp -s "$work/SYS/config/dds/ospl.xml" "$work/ospl.before" || fail "Escape changed ospl.xml"
echo "gui: Escape wrote nothing, exit status 0"
[ "$ospl_before" != "$(cat "$work/ospl.before")" ] || fail "ospl.xml never changed"
echo "2 passed, 0 failed"
