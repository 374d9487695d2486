#!/usr/bin/env bash
# The Debian package as an administrator meets it: built from the build
# folder with cpack, linted, installed with dpkg -i, used (--version, --help,
# /list in a network namespace, help opened from the installed tree under
# Xvfb), removed with dpkg -r, and nothing of it left. Also the TGZ tree,
# run from wherever it is unpacked. Needs root; changes the machine's
# package database only for the time it runs.
#   package.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
skip() {
  echo "package: $1" >&2
  if [ "${CI:-}" = "true" ]; then exit 1; fi
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (dpkg -i)"
for tool in cpack dpkg-shlibdeps lintian file strace Xvfb xdotool man; do
  command -v "$tool" >/dev/null || skip "needs $tool (scripts/deps.sh installs it)"
done
if dpkg-query -W -f='${Status}' nicchooser 2>/dev/null | grep -q installed; then
  echo "package: nicchooser is installed already; remove it (dpkg -r nicchooser) and run again" >&2
  exit 1
fi

failures=0
fail() { echo "package: FAIL: $*" >&2; failures=$((failures + 1)); }
work=$(mktemp -d)
installed="" xvfb="" app=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  [ -n "$installed" ] && dpkg -r nicchooser >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=$build/nicchooser_${version}_${arch}.deb
tgz=$build/nicchooser-${version}-Linux.tar.gz
rm -f "$deb" "$tgz"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1 && cpack -G TGZ >>"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; exit 1; }
[ -f "$deb" ] || { fail "no $deb"; exit 1; }
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes; depends on: $(dpkg-deb -f "$deb" Depends)"

# No lintian errors; each warning left is named in the README with its reason.
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || fail "lintian reports errors"
grep -v '^running with root privileges' "$work/lintian.txt" | sed 's/^/package: lintian: /'
for tag in $(sed -n 's/^W: nicchooser[^:]*: \([a-z0-9-]*\).*/\1/p' "$work/lintian.txt" | sort -u); do
  grep -q -- "\`$tag\`" "$top/README.md" || fail "lintian warning $tag is not named in the README"
done

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; exit 1; }
installed=1
dpkg -L nicchooser | sort >"$work/files.txt"
for f in /usr/bin/nicChooser /usr/share/nicChooser/nicChooser.chm /usr/share/doc/nicchooser/copyright \
  /usr/share/man/man1/nicChooser.1.gz; do
  [ -f "$f" ] || fail "$f is not installed"
done
[ -e /usr/bin/nicChooser.chm ] && fail "a help file in /usr/bin"
case $(file -b /usr/bin/nicChooser) in *", stripped"*) ;; *) fail "the installed executable is not stripped" ;; esac
grep -q 'License: Expat' /usr/share/doc/nicchooser/copyright && grep -q LICENSE /usr/share/doc/nicchooser/copyright ||
  fail "the copyright file does not name the licence"
out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings nicChooser 2>&1 >/dev/null) || fail "man nicChooser failed"
[ -z "$out" ] || fail "man --warnings: $out"

# --version and --help: no display, no variables, and no file opened but the
# libraries the loader maps.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u CC_ROOT -u CC_SYSTEM)
out=$("${nodisplay[@]}" /usr/bin/nicChooser --version 2>"$work/err") || fail "--version exits $?"
[ "$out" = "nicChooser $version" ] || fail "--version says \"$out\", not \"nicChooser $version\""
[ -s "$work/err" ] && fail "--version wrote on stderr: $(cat "$work/err")"
"${nodisplay[@]}" strace -f -qq -e trace=open,openat,openat2 -o "$work/strace.txt" /usr/bin/nicChooser --help \
  >"$work/help.txt" 2>"$work/err" || fail "--help exits $?"
grep -q '^Usage: nicChooser' "$work/help.txt" || fail "--help printed no usage"
grep -q '^Exit status:' "$work/help.txt" || fail "--help names no exit status"
[ -s "$work/err" ] && fail "--help wrote on stderr: $(cat "$work/err")"
opened=$(grep -o 'open[a-z0-9]*([^"]*"[^"]*"' "$work/strace.txt" | sed 's/.*"\(.*\)"/\1/' |
  grep -v -E '^/etc/ld\.so\.cache$|\.so(\.[0-9]+)*$')
[ -z "$opened" ] || fail "--help opened files: $opened"

# /list among known interfaces.
out=$(bash "$top/tests/in-netns.sh" env -u CC_ROOT /usr/bin/nicChooser /list 2>"$work/err")
status=$?
[ "$status" = 0 ] || fail "/list exits $status: $(cat "$work/err")"
printf '%s\n' "$out" | grep -q "$(printf '^nc1\t10.77.4.1\tnc1\t$')" || fail "/list shows no nc1 row: $out"

# Help from the installed tree: F1 in the real dialog under Xvfb opens the
# help window, and no "Ooops" box appears; the file exists under share only.
# shellcheck source=xvfb.sh
source "$top/tests/xvfb.sh"
start_xvfb 1024x768x24 || fail "Xvfb did not start"
xvfb=$XVFB_PID
export DISPLAY=$XVFB_DISPLAY
mkdir -p "$work/root/SYS"
CC_ROOT=$work/root CC_SYSTEM=SYS QT_QPA_PLATFORM=xcb /usr/bin/nicChooser >"$work/app.log" 2>&1 &
app=$!
win=$(xdotool search --sync --onlyvisible --name '^Set network adaptor' 2>/dev/null | head -1)
if [ -z "$win" ]; then
  fail "the dialog did not appear: $(tail -3 "$work/app.log")"
else
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
  xdotool key --window "$win" F1
  help=""
  for _ in $(seq 50); do
    help=$(xdotool search --onlyvisible --name '^nicChooser: choosing the xDS network adaptor$' 2>/dev/null | head -1)
    [ -n "$help" ] && break
    xdotool search --onlyvisible --name '^Ooops$' >/dev/null 2>&1 && break
    sleep 0.1
  done
  [ -n "$help" ] || fail "F1 opened no help window from /usr/share/nicChooser"
  xdotool search --onlyvisible --name '^Ooops$' >/dev/null 2>&1 && fail "F1 showed the Ooops box"
fi
kill "$app" 2>/dev/null; wait "$app" 2>/dev/null; app=""
kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; xvfb=""

dpkg -r nicchooser >"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.log")"
installed=""
dpkg-query -W -f='${Status}' nicchooser 2>/dev/null | grep -q 'installed' && fail "still known to dpkg"
while read -r f; do
  case $f in /. | /usr | /usr/bin | /usr/share | /usr/share/doc | /usr/share/man | /usr/share/man/man1) continue ;; esac
  [ -e "$f" ] && fail "$f is left after dpkg -r"
done <"$work/files.txt"

# The TGZ tree works from any folder it is unpacked in.
mkdir -p "$work/elsewhere" && tar xzf "$tgz" -C "$work/elsewhere" || fail "cannot unpack $tgz"
tree=$work/elsewhere/nicchooser-${version}-Linux
[ -f "$tree/share/nicChooser/nicChooser.chm" ] || fail "no share/nicChooser/nicChooser.chm in $tgz"
out=$("${nodisplay[@]}" "$tree/bin/nicChooser" --version) && [ "$out" = "nicChooser $version" ] ||
  fail "the TGZ tree's --version says \"$out\""

if [ "$failures" -gt 0 ]; then
  echo "package: $failures failures" >&2
  exit 1
fi
echo "package: built, linted, installed, used and removed; nothing left"
