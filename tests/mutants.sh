#!/usr/bin/env bash
# Puts deliberate one-line faults into a copy of the tree, one at a time, and
# runs the test that should notice each: a guard or rule that no test catches
# when it is broken is not tested, whatever the tests claim.
#   tests/mutants.sh [NAME-PATTERN]
# The faults are listed in tests/mutants.txt. Exit status 0 when every fault
# was caught; 1 when one survived, or a fault no longer applies (its text is
# gone from the file, or it no longer builds): the list must follow the code.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
only=${1:-}
list=$top/tests/mutants.txt
work=$(mktemp -d)
# Tests run the built tools as other users too.
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
src=$work/src build=$work/build
# The kill and race trials run the same code each time; fewer of them still
# meet the listed faults (a fault that needs more says so in its sixth
# column), and keep the whole list within CI's time.
export NC_KILL_TRIALS=${NC_KILL_TRIALS:-50} NC_RACE_ROUNDS=${NC_RACE_ROUNDS:-10}

# The working tree as it is, uncommitted changes included.
mkdir -p "$src"
(cd "$top" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$src")
# Unoptimised and without debug information: every fault rebuilds one file
# and relinks one test, and that is most of the time spent.
cmake -S "$src" -B "$build" -G Ninja -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Mutants -DCMAKE_CXX_FLAGS_MUTANTS=-O0 \
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold \
  >/dev/null || exit 1

target_of() { case $1 in gui_xvfb) echo nicChooser ;; *) echo "$1" ;; esac; }
suites=$(awk -F'\t' '!/^#/ && NF >= 5 {print $2}' "$list" | sort -u)
echo "mutants: building and checking that the suites pass without faults: $(echo $suites)"
targets=$(for s in $suites; do target_of "$s"; done | sort -u)
# shellcheck disable=SC2086
cmake --build "$build" -j 2 --target $targets >/dev/null || { echo "mutants: the unchanged tree does not build" >&2; exit 1; }
for s in $suites; do
  (cd "$build" && ctest -R "^$s\$" --timeout 300 --output-on-failure >"$work/test.log" 2>&1) || {
    grep -E '^(FAIL|   Loc|Totals)' "$work/test.log" | head -20 >&2
    echo "mutants: $s fails without any fault" >&2
    exit 1
  }
done

caught=0 survived=0 broken=0
start=$(date +%s)
while IFS= read -r entry; do
  case $entry in ''|'#'*) continue ;; esac
  # Split on tabs keeping empty fields (a deletion has an empty replacement).
  IFS=$'\x1f' read -r file suite find replace why settings <<<"${entry//$'\t'/$'\x1f'}"
  [ -z "$only" ] || [[ $why == *$only* ]] || continue
  path=$src/$file
  count=$(FIND=$find python3 -c 'import os,sys; print(open(sys.argv[1], encoding="utf-8").read().count(os.environ["FIND"]))' "$path")
  if [ "$count" != 1 ]; then
    echo "STALE    $why: the text occurs $count times in $file"
    broken=$((broken + 1)); continue
  fi
  cp "$path" "$work/saved"
  began=${EPOCHREALTIME/./}
  FIND=$find REPLACE=$replace python3 - "$path" <<'EOF'
import os, sys
p = sys.argv[1]
s = open(p, encoding="utf-8").read()
open(p, "w", encoding="utf-8").write(s.replace(os.environ["FIND"], os.environ["REPLACE"].replace("\\t", "\t"), 1))
EOF
  if ! cmake --build "$build" -j 2 --target "$(target_of "$suite")" >"$work/build.log" 2>&1; then
    echo "NOBUILD  $why ($file)"; tail -5 "$work/build.log"
    broken=$((broken + 1))
  else
    tested=${EPOCHREALTIME/./}
    # shellcheck disable=SC2086
    if (cd "$build" && env $settings ctest -R "^$suite\$" --timeout 300 >"$work/test.log" 2>&1); then
      echo "SURVIVED $why ($file, $suite stays green)"
      survived=$((survived + 1))
    else
      ended=${EPOCHREALTIME/./}
      printf 'caught   %s (%s; built in %d.%d s, caught in %d.%d s)\n' "$why" "$suite" \
        $(((tested - began) / 1000000)) $(((tested - began) / 100000 % 10)) \
        $(((ended - tested) / 1000000)) $(((ended - tested) / 100000 % 10))
      caught=$((caught + 1))
    fi
  fi
  cp "$work/saved" "$path"
done <"$list"

# Leave the copy's build as it was, for a following run.
echo "mutants: $caught caught, $survived survived, $broken stale or not building, in $(( $(date +%s) - start )) s"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ] && [ "$caught" -gt 0 ]
