#!/usr/bin/env bash
# The manual page: no warning from groff or man, and its switches and exit
# statuses word for word those of the README's tables (formatting aside).
#   man-page.sh README.md PAGE.1
set -u
readme=$1 page=$2
failed=0
fail() { echo "man-page: $*" >&2; failed=1; }

out=$(groff -ww -man -z "$page" 2>&1) || fail "groff failed"
[ -z "$out" ] || fail "groff -ww warns: $out"
if command -v man >/dev/null; then
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man failed"
  [ -z "$out" ] || fail "man --warnings warns: $out"
elif [ "${CI:-}" = "true" ]; then
  fail "needs man (package man-db)"
fi

# "tag<TAB>meaning" for each row of the README table under heading $1.
readme_rows() {
  awk -v heading="$1" '
    $0 == heading { inside = 1; next }
    inside && /^#/ { exit }
    inside && /^\|/ {
      if (++row <= 2) next # the header and its rule
      line = $0
      sub(/^\| */, "", line); sub(/ *\|$/, "", line)
      split(line, cell, / \| /)
      gsub(/`/, "", cell[1]); gsub(/`/, "", cell[2])
      gsub(/[ \t]+/, " ", cell[2])
      print cell[1] "\t" cell[2]
    }' "$readme"
}

# The same from the page's section $1: each .TP entry whose tag matches $2.
page_rows() {
  awk -v section="$1" -v pattern="$2" '
    function unescape(s) {
      gsub(/\\f[BIRP]/, "", s); gsub(/\\-/, "-", s); return s
    }
    function flush() {
      if (tag != "" && tag ~ pattern) { gsub(/[ \t]+/, " ", text); sub(/^ /, "", text); print tag "\t" text }
      tag = ""; text = ""
    }
    /^\.SH / { flush(); name = substr($0, 5); gsub(/"/, "", name); inside = (name == section); next }
    !inside { next }
    /^\.TP/ { flush(); want_tag = 1; next }
    want_tag { t = $0; sub(/^\.B /, "", t); tag = unescape(t); want_tag = 0; next }
    /^\.(PP|RS|RE)/ { flush(); next }
    /^\./ { text = text " " unescape(substr($0, index($0, " ") + 1)); next }
    { text = text " " unescape($0) }
    END { flush() }' "$page"
}

compare() {
  local what=$1 expected actual
  expected=$(readme_rows "$2")
  actual=$(page_rows "$3" "$4")
  [ -n "$expected" ] || fail "no $what table found in $readme"
  if [ "$expected" != "$actual" ]; then
    fail "the page's $what differ from the README's (< README, > page):"
    diff <(echo "$expected") <(echo "$actual") >&2
  fi
}
compare switches "## Switches" OPTIONS '^/'
compare "exit statuses" "## Exit status" "EXIT STATUS" '^[0-9]+$'

[ "$failed" = 0 ] && echo "man-page: no warnings; switches and exit statuses as in the README"
exit "$failed"
