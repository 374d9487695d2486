#!/usr/bin/env bash
# A person's path: the real executable in a real X server, driven with the
# keyboard and mouse through xdotool. Runs inside in-netns.sh, so the rows are
# known: nc0 10.77.1.1, nc0 10.77.1.2, nc1 10.77.4.1, né 10.77.5.1.
#   gui.sh [--wine RUNNER... --] EXECUTABLE TESTDATA [ROW...]
# Each row of the table at the end: what the person does, what the files hold
# afterwards, the exit status, and which message box (if any) appeared. Rows
# named on the command line run alone.
# With --wine the Windows executable runs under RUNNER (cmake/wine-run.sh and
# its DLL folders) and the rows a person's keys decide run there too; the
# others say why they are Linux's.
set -u
runner=()
if [ "${1:-}" = --wine ]; then
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do runner+=("$1"); shift; done
  shift
fi
exe=$1 data=$2
shift 2
only=("$@")
# Whether the row named $1 is to run.
wanted() {
  local r
  [ ${#only[@]} -eq 0 ] && return 0
  for r in "${only[@]}"; do [ "$r" = "$1" ] && return 0; done
  return 1
}
# As cmake/wine-run.sh names it.
wine_prefix=${WINEPREFIX:-${NC_CACHE_DIR:-${XDG_CACHE_HOME:-/var/cache}/nicChooser}/${NC_WINE_PREFIX_NAME:-wine}}
skip() {
  echo "gui: $1" >&2
  if [ "${CI:-}" = "true" ]; then exit 1; fi
  exit 77
}
command -v Xvfb >/dev/null || skip "needs Xvfb (package xvfb)"
command -v xdotool >/dev/null || skip "needs xdotool"
[ "${NC_NETNS_LAYOUT:-}" = 1 ] || skip "run through in-netns.sh"

work=$(mktemp -d)
xvfb="" app=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  # Wine's processes outlive a killed wrapper; its server ends them.
  [ ${#runner[@]} -eq 0 ] || WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null
  [ -n "${holder:-}" ] && kill "$holder" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=xvfb.sh
source "$(dirname "$0")/xvfb.sh"
start_xvfb 1024x768x24 || { echo "gui: Xvfb did not start" >&2; exit 1; }
xvfb=$XVFB_PID
export DISPLAY=$XVFB_DISPLAY

good_ospl=$data/ospl/adlink-etc-ospl_ddsi2.xml
# Windows names the adaptors itself (ethernet_3), and Wine gives the Linux
# names as the readable ones: what /list pairs, the settings files get.
ids=()
if [ ${#runner[@]} -gt 0 ]; then
  while IFS=$'\t' read -r name _ id _; do
    case $name in nc0|nc1|né) ids+=(-e "s/^\(Adaptor *= *\)$name\r\$/\1$id\r/") ;; esac
  done < <(env -u CC_ROOT "${runner[@]}" "$exe" /list 2>/dev/null)
  [ ${#ids[@]} -gt 0 ] || { echo "gui: /list under Wine named none of the namespace's adaptors" >&2; exit 1; }
fi
write_ini() { ini_text "$1" | if [ ${#ids[@]} -gt 0 ]; then sed "${ids[@]}"; else cat; fi; }

# Files are written and compared as files: $(...) would drop their last line ending.
ini_text() {
  case $1 in
    general) printf '[General]\r\nsite=North\r\n' ;;
    # Blanks around '=' show whether the file was rewritten.
    stored2) printf '[General]\r\nsite=North\r\n[xDS]\r\nbindAddress = 10.77.4.1\r\nAdaptor = nc1\r\n' ;;
    valid1) printf '[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n' ;;
    stale) printf '[xDS]\r\nbindAddress=10.9.9.9\r\nAdaptor=eth9\r\n' ;;
    stored:*) local pair=${1#stored:}
      printf '[General]\r\nsite=North\r\n[xDS]\r\nbindAddress=%s\r\nAdaptor=%s\r\n' "${pair%/*}" "${pair#*/}" ;;
  esac
}

# The system's help viewer names its window after the help file's title.
# Wine starts a program in a second or two, and at times, right after one
# that opened the system's help, in more than ten.
if [ ${#runner[@]} -gt 0 ]; then platform=windows help_title="nicChooser help" window_wait=40
else platform=xcb help_title="nicChooser: choosing the xDS network adaptor" window_wait=10; fi

# The first visible window whose name matches PATTERN, waiting up to SECONDS.
# xdotool's own --sync wait dies of an X error when a window it lists goes
# away before it is looked at, as Wine's start-up windows do: look again.
find_window() {
  local until=$((SECONDS + $1)) w
  while :; do
    w=$(xdotool search --onlyvisible --name "$2" 2>/dev/null | head -n 1)
    if [ -n "$w" ] || [ $SECONDS -ge $until ]; then echo "$w"; return; fi
    sleep 0.2
  done
}

# Window-relative spots, from the form's fixed 600x400 layout.
row_y() { echo $((42 + 17 * $1)); }
ok_x=462 cancel_x=548 buttons_y=376
# Screenshots of the states a row names with "shot", for a person to look at.
shots=${NC_GUI_SHOTS:-}

failures=0 passed=0
# Ends the tool still running after a failed row, so that its windows cannot
# stand in for the next row's.
stop_app() {
  kill "$app" 2>/dev/null; wait "$app" 2>/dev/null; app=""
  [ ${#runner[@]} -eq 0 ] || WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null
}
fail() {
  echo "gui: FAIL: $row_name: $*" >&2
  # The toolkit's word on the window system, if any, and the last lines.
  { grep -i 'qt\.qpa\|could not connect' "$work/debug.txt"; tail -5 "$work/debug.txt"; } >&2
  failures=$((failures + 1))
}

# row NAME SWITCHES SETUP ACTION STATUS INI_AFTER OSPL_ADDRESS BOX
#   INI_AFTER: "same", or stored:ADDRESS/ADAPTOR
#   SETUP: words among general stored2 valid1 readonly-ini readonly-ospl
#          truncated-ospl noroot nosystem emptyroot non-ansi-folder
#   ACTION: words run in order (see act); "none" for runs that end by themselves
#   OSPL_ADDRESS: the address ospl.xml must hold afterwards, or "same"
#   BOX: the title of the message box that must appear, or "-"
row() {
  row_name=$1; local switches=$2 setup=$3 action=$4 status=$5 ini_after=$6 ospl_after=$7 box=$8
  row_ran=0
  wanted "$row_name" || return 0
  if [ ${#runner[@]} -gt 0 ]; then
    case $row_name in
      "pre-selected row, Ok by keyboard"|"first Down highlights the framed row, Enter stores it"|\
      "F1 opens help, Escape cancels"|"F1 from a folder named in letters the ANSI code page lacks: the help, no Ooops"|\
      "Escape writes nothing"|"read-only settings file: told, dialog stays, DDS untouched"|\
      "fatal box: "*) ;;
      *) echo "gui: SKIP: $row_name: clicks at the X11 form's spots, the Linux writers' lock and stderr lines are judged on Linux"
         return ;;
    esac
  fi
  row_ran=1
  rm -rf "$work/root"; mkdir -p "$work/root/SYS/config/dds"
  local root=$work/root ini=$work/root/local_settings.ini ospl=$work/root/SYS/config/dds/ospl.xml
  cp "$good_ospl" "$ospl"; chmod 644 "$ospl"
  case " $setup " in
    *" stored2 "*) write_ini stored2 >"$ini" ;;
    *" valid1 "*) write_ini valid1 >"$ini" ;;
    *" stale "*) write_ini stale >"$ini" ;;
    *) write_ini general >"$ini" ;;
  esac
  case " $setup " in *" readonly-ini "*) chmod 444 "$ini" ;; esac
  case " $setup " in *" readonly-ospl "*) chmod 444 "$ospl" ;; esac
  case " $setup " in *" truncated-ospl "*) cp "$data/xml/truncated.xml" "$ospl" ;; esac
  cp "$ini" "$work/ini.before"; cp "$ospl" "$work/ospl.before"
  holder=""
  case " $setup " in *" locked "*)
    # Another writer: the writers' lock on the file itself, held until released.
    python3 -c 'import fcntl, os, struct, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 1 << 62, 1, 0))
print("held", flush=True)
time.sleep(60)' "$ini" >"$work/held" &
    holder=$!
    for _ in $(seq 50); do grep -q held "$work/held" 2>/dev/null && break; sleep 0.1; done ;;
  esac
  # The program and its help file in a folder of Greek and CJK letters, which
  # no ANSI code page holds (Wine's follows its locale: 1252 here).
  local program=$exe
  case " $setup " in *" non-ansi-folder "*)
    program="$work/Ωμέγα-漢字/$(basename "$exe")"
    rm -rf "$work/Ωμέγα-漢字"; mkdir -p "$work/Ωμέγα-漢字"
    cp "$exe" "$program"
    cp "$(dirname "$exe")/nicChooser.chm" "$work/Ωμέγα-漢字/" || { fail "no help file built"; return; } ;;
  esac
  local env=(CC_ROOT="$root" CC_SYSTEM=SYS)
  case " $setup " in *" noroot "*) env=(CC_SYSTEM=SYS) ;; esac
  case " $setup " in *" nosystem "*) env=(CC_ROOT="$root") ;; esac
  case " $setup " in *" emptyroot "*) env=(CC_ROOT= CC_SYSTEM=SYS) ;; esac

  # shellcheck disable=SC2086
  env -u CC_ROOT -u CC_SYSTEM "${env[@]}" QT_QPA_PLATFORM="$platform" "${runner[@]}" "$program" $switches 2>"$work/debug.txt" &
  app=$!
  win=""
  # A fatal box comes before the dialog is shown.
  if [ "$action" != none ] && [ "${action#box:}" = "$action" ]; then
    win=$(find_window "$window_wait" "Set network adaptor")
    [ -n "$win" ] || { fail "no dialog window appeared"; stop_app; return; }
    xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
    sleep 0.3
  fi
  local seen_box="-" word
  for word in $action; do act "$word" || return; done
  # Wine takes its time to take down a process that opened the system's help.
  for _ in $(seq $((${#runner[@]} ? 150 : 50))); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app" 2>/dev/null; then fail "the tool did not close"; stop_app; return; fi
  wait "$app"; local rc=$?; app=""
  [ -n "$holder" ] && kill "$holder" 2>/dev/null && wait "$holder" 2>/dev/null; holder=""
  [ "$seen_box" = "$box" ] || { fail "message box '$seen_box', expected '$box'"; return; }
  [ "$rc" = "$status" ] || { fail "exit status $rc, expected $status"; return; }
  if [ "$ini_after" = same ]; then cp "$work/ini.before" "$work/ini.want"; else write_ini "$ini_after" >"$work/ini.want"; fi
  cmp -s "$ini" "$work/ini.want" || { fail "settings file: $(od -c "$ini" | head -5)"; return; }
  if [ "$ospl_after" = same ]; then
    cmp -s "$ospl" "$work/ospl.before" || { fail "ospl.xml changed"; return; }
  else
    grep -q "<NetworkInterfaceAddress>$ospl_after</NetworkInterfaceAddress>" "$ospl" || { fail "ospl.xml does not hold $ospl_after"; return; }
  fi
  echo "gui: PASS: $row_name"
  passed=$((passed + 1))
}

# One step of a person's action; sets seen_box when a box shows up.
act() {
  case $1 in
    click-ok) xdotool mousemove --window "$win" $ok_x $buttons_y click 1 ;;
    click-cancel) xdotool mousemove --window "$win" $cancel_x $buttons_y click 1 ;;
    release) kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; holder="" ;;
    shot) [ -n "$shots" ] && import -window "$win" "$shots/$(echo "$row_name" | tr -c 'A-Za-z0-9\n' _ | cut -c1-60).png" 2>/dev/null ;;
    tab-tab-space) xdotool key Tab Tab space ;;
    down|up|Return|Escape|F1) xdotool key "$(echo "$1" | sed 's/^down$/Down/; s/^up$/Up/')" ;;
    dclick-3) xdotool mousemove --window "$win" 100 "$(row_y 3)" click --repeat 2 --delay 80 1 ;;
    box:*)
      local title=${1#box:} b
      title=${title//_/ }
      b=$(find_window 5 "^$title\$")
      [ -n "$b" ] || { fail "no box titled '$title'"; stop_app; return 1; }
      seen_box=$title
      xdotool windowactivate --sync "$b" 2>/dev/null || xdotool windowfocus --sync "$b"
      sleep 0.2
      xdotool key Return
      sleep 0.3
      # A failure is told, and the dialog stays for a retry or a cancel.
      if [ -n "$win" ] && ! xdotool getwindowname "$win" >/dev/null 2>&1; then
        fail "the dialog closed after '$title'"; wait "$app" 2>/dev/null; app=""; return 1
      fi
      [ -z "$win" ] || xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win" ;;
    help-window)
      local h
      h=$(find_window 5 "^$help_title\$")
      [ -n "$h" ] || { fail "F1 opened no help window"; stop_app; return 1; }
      # The system's help window lives in the tool's process there: a person
      # closes it with Alt+F4, and X must not take the process down with it.
      if [ ${#runner[@]} -gt 0 ]; then xdotool key alt+F4
      else xdotool windowclose "$h" 2>/dev/null || xdotool windowkill "$h"; fi
      sleep 0.2
      xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win" ;;
    help-once)
      local hs h
      sleep 0.5
      hs=$(xdotool search --onlyvisible --name "^nicChooser: choosing the xDS network adaptor\$")
      [ "$(echo "$hs" | grep -c .)" = 1 ] || { fail "$(echo "$hs" | grep -c .) help windows"; stop_app; return 1; }
      h=$hs
      local dx hx
      dx=$(xdotool getwindowgeometry "$win" | sed -n 's/.*Position: \([0-9]*\),.*/\1/p')
      hx=$(xdotool getwindowgeometry "$h" | sed -n 's/.*Position: \([0-9]*\),.*/\1/p')
      # 1024 wide: no room for 700 beside 600, so as far right as the screen allows.
      [ "$hx" -gt "$dx" ] || { fail "the help window at x=$hx is not right of the dialog at x=$dx"; stop_app; return 1; }
      [ -n "$shots" ] && import -window root "$shots/help-beside-dialog.png" 2>/dev/null
      xdotool windowclose "$h" 2>/dev/null || xdotool windowkill "$h"
      sleep 0.2
      xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win" ;;
    fix-ospl) cp "$good_ospl" "$work/root/SYS/config/dds/ospl.xml" ;;
    # Until the tool says it waits for the other writer.
    waiting)
      local until=$((SECONDS + 10))
      until grep -q 'Waiting for .* to finish with' "$work/debug.txt" 2>/dev/null || [ $SECONDS -ge $until ]; do sleep 0.1; done
      grep -q 'Waiting for .* to finish with' "$work/debug.txt" || { fail "the tool never said it was waiting"; stop_app; return 1; } ;;
  esac
  sleep 0.2
}

# The stored row is stored again: the settings file already holds it and is
# left alone, and the DDS configuration shows which row Ok took.
row "pre-selected row, Ok clicked" "/ospl" "stored2" "click-ok" 0 same 10.77.4.1 -
# A person's Ok says what the DDS configuration now binds, as an unattended run does.
[ "$row_ran" = 0 ] || grep -qxF "nicChooser: DDS configuration $work/root/SYS/config/dds/ospl.xml: DDSI2Service 'ddsi2' \
binds 10.77.4.1 (General/NetworkInterfaceAddress AUTO -> 10.77.4.1); running DDS services read their configuration only \
when they start" "$work/debug.txt" || fail "Ok did not say what binds the address"
row "pre-selected row, Ok by keyboard" "/ospl" "stored2" "tab-tab-space" 0 same 10.77.4.1 -
# Nothing highlighted, the focus frame on the first row: the first Down
# highlights that row.
row "first Down highlights the framed row, Enter stores it" "/ospl" "general" "down Return" 0 stored:10.77.1.1/nc0 10.77.1.1 -
row "Enter on a chosen row" "/ospl" "general" "down down Return" 0 stored:10.77.1.2/nc0 10.77.1.2 -
row "double-click on a row" "" "stored2" "dclick-3" 0 stored:10.77.5.1/né same -
row "F1 opens help, Escape cancels" "/ospl" "stored2" "F1 help-window Escape" 0 same same -
# A second press brings the one help window back, beside the dialog.
row "F1 from a folder named in letters the ANSI code page lacks: the help, no Ooops" "/ospl" "stored2 non-ansi-folder" \
    "F1 help-window Escape" 0 same same -
row "F1 twice: one help window, beside the dialog" "/ospl" "stored2" "F1 F1 help-once Escape" 0 same same -
row "Escape writes nothing" "/ospl" "general" "down Escape" 0 same same -
row "read-only settings file: told, dialog stays, DDS untouched" "/ospl" "stored2 readonly-ini" \
    "down Return box:nicChooser:_Not_stored Escape" 3 same same "nicChooser: Not stored"
row "refused DDS configuration: told, fixed, Ok again" "/ospl" "general truncated-ospl" \
    "down Return box:nicChooser:_DDS_configuration_not_updated fix-ospl Return" 0 stored:10.77.1.1/nc0 10.77.1.1 \
    "nicChooser: DDS configuration not updated"
row "refused DDS configuration, then cancelled" "/ospl" "general truncated-ospl" \
    "down Return box:nicChooser:_DDS_configuration_not_updated Escape" 4 stored:10.77.1.1/nc0 same \
    "nicChooser: DDS configuration not updated"
row "/silent with a stale choice: the dialog waits for a person" "/silent /ospl" "stale" "Escape" 0 same same -
# Another writer holds the settings file: the dialog waits, live, and a
# click on Cancel stops the wait with nothing written.
row "Ok while another writer holds the file, Cancel clicked while waiting" "/ospl" "stored2 locked" \
    "down click-ok waiting shot click-cancel" 0 same same -
row "Ok while another writer holds the file, it finishes: stored" "/ospl" "general locked" \
    "down click-ok waiting release" 0 stored:10.77.1.1/nc0 10.77.1.1 -
# A misspelt fleet switch with a display: the dialog waits for a person and
# the terminal is told what was ignored.
row "misspelt /select with a display: named, the dialog waits" "/silent /selct=10.77.4.1" "general" "Escape" 0 same same -
[ "$row_ran" = 0 ] || grep -q "^nicChooser: not a switch, so ignored: /selct=10.77.4.1 " "$work/debug.txt" \
  || fail "the misspelt switch was not named on stderr"
row "/silent /ospl, read-only DDS configuration: no wait, status 4" "/silent /ospl" "valid1 readonly-ospl" none 4 same same -
[ "$row_ran" = 0 ] || grep -q "^nicChooser: could not update the DDS configuration .*: the file is read-only" "$work/debug.txt" \
  || fail "no plain stderr line for the failed DDS update"
for missing in noroot nosystem emptyroot; do
  row "fatal box: $missing" "/silent" "$missing" "box:nicChooser:_Fatal_error" 2 same same "nicChooser: Fatal error"
done

if [ ${#runner[@]} -gt 0 ]; then
  echo "gui: SKIP: the screen-size rows: the window sizes are those of the X11 platform and its viewer"
  echo "$passed passed, $failures failed"
  [ "$failures" -eq 0 ]
  exit
fi

# A high-DPI screen: the dialog keeps its size rules, scaled as a whole.
row_name="high-DPI screen scales the window"
if wanted "$row_name"; then
start_xvfb 2400x1600x24 -dpi 192
hidpi=$XVFB_DISPLAY xvfb2=$XVFB_PID
mkdir -p "$work/root"
DISPLAY=$hidpi CC_ROOT=$work/root CC_SYSTEM=SYS QT_QPA_PLATFORM=xcb "$exe" 2>"$work/debug.txt" &
app=$!
win=$(DISPLAY=$hidpi find_window 10 "Set network adaptor")
geometry=$(DISPLAY=$hidpi xdotool getwindowgeometry "$win" 2>/dev/null | sed -n 's/.*Geometry: //p')
stop_app
kill "$xvfb2" 2>/dev/null
if [ "$geometry" = 1200x800 ]; then echo "gui: PASS: $row_name"; passed=$((passed + 1)); else fail "window is '$geometry', not 1200x800"; fi
fi

# A scale factor of 2 on a 1280x800 screen: the dialog and its help window
# fit the screen instead of keeping a size that cuts off the buttons.
row_name="scale factor 2 on 1280x800: dialog and help fit the screen"
if wanted "$row_name"; then
start_xvfb 1280x800x24
small=$XVFB_DISPLAY xvfb3=$XVFB_PID
rm -rf "$work/root"; mkdir -p "$work/root"
cp "$exe" "$work/nicChooser"
[ -e "$(dirname "$exe")/nicChooser.chm" ] && cp "$(dirname "$exe")/nicChooser.chm" "$work/nicChooser.chm"
DISPLAY=$small QT_SCALE_FACTOR=2 CC_ROOT=$work/root CC_SYSTEM=SYS QT_QPA_PLATFORM=xcb "$work/nicChooser" 2>"$work/debug.txt" &
app=$!
win=$(DISPLAY=$small find_window 10 "Set network adaptor")
DISPLAY=$small xdotool windowactivate --sync "$win" 2>/dev/null || DISPLAY=$small xdotool windowfocus --sync "$win"
sleep 0.3
DISPLAY=$small xdotool key F1; sleep 1
help=$(DISPLAY=$small find_window 5 "^nicChooser: choosing the xDS network adaptor\$")
fits() { # WINDOW: inside 1280x800
  local g p
  g=$(DISPLAY=$small xdotool getwindowgeometry "$1" 2>/dev/null | sed -n 's/.*Geometry: //p')
  p=$(DISPLAY=$small xdotool getwindowgeometry "$1" 2>/dev/null | sed -n 's/.*Position: \([0-9]*,[0-9]*\).*/\1/p')
  echo "$p $g"
  [ -n "$g" ] && [ $((${p%,*} + ${g%x*})) -le 1280 ] && [ $((${p#*,} + ${g#*x})) -le 800 ]
}
dialog_at=$(fits "$win"); dialog_fits=$?
if [ -e "$work/nicChooser.chm" ]; then help_at=$(fits "$help"); help_fits=$?; else help_at="(no help file built)"; help_fits=0; fi
[ -n "$shots" ] && DISPLAY=$small import -window root "$shots/scale2-1280x800.png" 2>/dev/null
stop_app
kill "$xvfb3" 2>/dev/null
if [ $dialog_fits = 0 ] && [ $help_fits = 0 ]; then echo "gui: PASS: $row_name"; passed=$((passed + 1));
else fail "dialog at $dialog_at, help window at $help_at"; fi
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
