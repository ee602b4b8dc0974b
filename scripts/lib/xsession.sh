# Sourced by the scripts that need a private X server: start_x_session SIZE
# starts Xvfb (screen SIZE, e.g. 1600x1000) and openbox, each in a session of
# its own so that Ctrl+C reaches the application first, appends their PIDs to
# the caller's `pids` array, exports DISPLAY and returns once the window
# manager has announced itself.
start_x_session() {
  local size=$1 fd number
  exec {fd}<> <(:)
  setsid Xvfb -displayfd "$fd" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  if ! read -r -t 10 number <&"$fd"; then
    exec {fd}<&-
    echo "Xvfb did not start." >&2
    return 1
  fi
  exec {fd}<&-
  export DISPLAY=":$number"
  setsid openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    sleep 0.05
  done
  echo "openbox did not start." >&2
  return 1
}
