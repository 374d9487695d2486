# Sourced: a virtual X server of one's own, for scripts that drive windows.
#   start_xvfb WxHxD [XVFB ARGS...]
# starts Xvfb on a display no other server holds (it picks the number and
# tells it once it takes connections), sets XVFB_DISPLAY (":N") and XVFB_PID,
# and returns 1 when no server came up within 10 s. -noreset: the server
# would otherwise start over whenever its last client leaves, as between two
# programs run one after the other, and refuse the next one meanwhile.
start_xvfb() {
  local screen=$1 told
  shift
  told=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset "$@" 3>"$told" >/dev/null 2>&1 &
  XVFB_PID=$!
  local until=$((SECONDS + 10))
  while [ ! -s "$told" ] && kill -0 "$XVFB_PID" 2>/dev/null && [ $SECONDS -lt $until ]; do sleep 0.05; done
  XVFB_DISPLAY=:$(head -n 1 "$told")
  rm -f "$told"
  [ "$XVFB_DISPLAY" != : ] && kill -0 "$XVFB_PID" 2>/dev/null
}
