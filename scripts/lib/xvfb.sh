# Sourced by the scripts that need a private virtual display.
# start_xvfb FIRST LAST [WIDTHxHEIGHT]: starts Xvfb (1920x1080 unless told) on the first free
# display number in FIRST..LAST, that survives its last client (-noreset); sets DISPLAY and
# XVFB_PID.
start_xvfb() {
  local n display=
  for n in $(seq "$1" "$2"); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
  done
  [ -n "$display" ] || { echo "no free X display number in $1..$2" >&2; return 1; }
  # Its own session: a Ctrl-C meant for the host must not take the display away first.
  setsid Xvfb ":$display" -screen 0 "${3:-1920x1080}x24" -noreset -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$display"
  for _ in $(seq 100); do
    [ -S "/tmp/.X11-unix/X$display" ] && return 0
    sleep 0.1
  done
  echo "Xvfb did not start on $DISPLAY" >&2
  return 1
}
