#!/usr/bin/env bash
# Runs a demo command as a newcomer would and checks what it shows: exit
# status 0, the screenshot it names exists, and both files' diffs store the
# same chosen address (bindAddress in the settings, NetworkInterfaceAddress
# in the DDS configuration).
#   tests/demo-check.sh [--clone] -- COMMAND...
# --clone runs COMMAND in a fresh clone of this repository, before anything
# is built there, as the README's first command meets a new checkout.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
clone=false
[ "${1:-}" = --clone ] && { clone=true; shift; }
[ "${1:-}" = -- ] && shift
[ $# -gt 0 ] || { echo "usage: demo-check.sh [--clone] -- COMMAND..." >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
where=$top
if $clone; then
  git clone --quiet "$top" "$work/nicChooser" || exit 1
  where=$work/nicChooser
fi
(cd "$where" && "$@") 2>&1 | tee "$work/demo.log"
status=${PIPESTATUS[0]}

problems=()
[ "$status" = 0 ] || problems+=("the demo exited with status $status")
shot=$(sed -n 's/^Screenshot of the dialog: //p' "$work/demo.log" | tail -n 1)
if [ -z "$shot" ]; then problems+=("it named no screenshot")
elif [ ! -s "$shot" ] || ! file "$shot" | grep -q 'PNG image'; then problems+=("the screenshot $shot is no PNG file")
fi
# What each file's diff added.
added() { awk -v head="--- What changed in $1" '$0 == head { on = 1; next } /^--- What changed in / { on = 0 } on' \
  "$work/demo.log" | sed -n "s/^+$2\$/\\1/p" | tail -n 1; }
stored=$(added local_settings.ini 'bindAddress=\(.*\)' | tr -d '\r')
written=$(added DEMO/config/dds/ospl.xml ' *<NetworkInterfaceAddress>\(.*\)<\/NetworkInterfaceAddress>')
[ -n "$stored" ] || problems+=("the settings file's diff stores no bindAddress")
[ -n "$written" ] || problems+=("the DDS configuration's diff writes no NetworkInterfaceAddress")
[ "$stored" = "$written" ] || problems+=("the settings store '$stored' but the DDS configuration holds '$written'")

if [ ${#problems[@]} -gt 0 ]; then
  printf 'demo-check: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "demo-check: status 0, screenshot $shot, both files hold $stored"
