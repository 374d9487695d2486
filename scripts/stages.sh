# Sourced by scripts/test.sh and .ci/run: times the stages of a run and
# prints their table, so that the time each takes is measured, not recalled.
#   stage NAME COMMAND...   runs COMMAND (with set -e in force inside it),
#                           adds NAME, its seconds and status to $NC_STAGES,
#                           and returns COMMAND's status
#   stage_table             prints the stages recorded so far and their total
# NC_STAGES names the file the stages are recorded in; a caller that prints
# the table sets it, and a script it runs adds its stages to the same table.

if [ -z "${NC_STAGES:-}" ]; then
  NC_STAGES=$(mktemp)
  export NC_STAGES
fi

stage() {
  local name=$1 began=${EPOCHREALTIME/./} status=0
  shift
  echo "=== $name"
  # In the background, so that set -e stops the stage at its first failing
  # command: a function called on the left of || would ignore it.
  "$@" &
  wait $! || status=$?
  local us=$((${EPOCHREALTIME/./} - began))
  printf '%s\t%d.%d\t%s\n' "$name" $((us / 1000000)) $((us / 100000 % 10)) \
    "$(case $status in 0) echo ok ;; 77) echo skipped ;; *) echo "failed ($status)" ;; esac)" >>"$NC_STAGES"
  return "$status"
}

stage_table() {
  [ -s "$NC_STAGES" ] || return 0
  echo
  echo "=== Stages"
  awk -F'\t' '{ printf "%-44s %8s s  %s\n", $1, $2, $3; total += $2 }
    END { printf "%-44s %8.1f s  (%.1f min)\n", "total", total, total / 60 }' "$NC_STAGES"
}
