# Sourced by the scripts that need a private virtual display.
# start_xvfb FIRST LAST [WIDTHxHEIGHT]: starts Xvfb (1920x1080 unless told) on the first free
# display number in FIRST..LAST, that survives its last client (-noreset) and admits only
# clients holding its random cookie; sets DISPLAY, XAUTHORITY (the cookie file, 0600, in
# XVFB_AUTH_DIR, else XDG_RUNTIME_DIR, else TMPDIR), QUORIN_XVFB (the display it serves) and
# XVFB_PID.
# stop_xvfb: stops it and removes the cookie file.
start_xvfb() {
  local n display=
  for n in $(seq "$1" "$2"); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
  done
  [ -n "$display" ] || { echo "no free X display number in $1..$2" >&2; return 1; }
  # Without -auth any local user could watch and type on the display: every client must
  # present this cookie, which X clients started from here find through XAUTHORITY.
  local dir=${XVFB_AUTH_DIR:-${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}}
  export XAUTHORITY
  XAUTHORITY=$(mktemp "$dir/quorin-xauth.XXXXXX") || return 1
  xauth -q -f "$XAUTHORITY" add ":$display" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" ||
    { echo "xauth could not write $XAUTHORITY" >&2; return 1; }
  # Its own session: a Ctrl-C meant for the host must not take the display away first.
  setsid Xvfb ":$display" -screen 0 "${3:-1920x1080}x24" -noreset -nolisten tcp -auth "$XAUTHORITY" \
    >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$display" QUORIN_XVFB=":$display"
  for _ in $(seq 100); do
    if [ -S "/tmp/.X11-unix/X$display" ] && xdpyinfo >/dev/null 2>&1; then
      # Refuse to go on with a display that lets in a client without the cookie.
      XAUTHORITY=/dev/null xdpyinfo >/dev/null 2>&1 || return 0
      echo "Xvfb on $DISPLAY admits clients without its cookie" >&2
      stop_xvfb
      return 1
    fi
    sleep 0.1
  done
  echo "Xvfb did not start on $DISPLAY" >&2
  return 1
}

stop_xvfb() {
  [ -z "${XVFB_PID:-}" ] || { kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; } || true
  [ -z "${XAUTHORITY:-}" ] || rm -f "$XAUTHORITY"
}

# start_xvnc FIRST LAST: starts Xvnc, an X server whose screen can change size (xrandr -s;
# Xvfb cannot), on the first free display number in FIRST..LAST, admitting only clients that
# hold a cookie it adds to the XAUTHORITY file of start_xvfb. Sets QUORIN_XVNC and XVNC_PID.
start_xvnc() {
  local n display=
  for n in $(seq "$1" "$2"); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
  done
  [ -n "$display" ] && [ -n "${XAUTHORITY:-}" ] || { echo "no display number or cookie file for Xvnc" >&2; return 1; }
  xauth -q -f "$XAUTHORITY" add ":$display" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" || return 1
  setsid Xvnc ":$display" -geometry 1920x1080 -depth 24 -SecurityTypes None -rfbport -1 -nolisten tcp \
    -auth "$XAUTHORITY" >/dev/null 2>&1 &
  XVNC_PID=$!
  export QUORIN_XVNC=":$display"
  for _ in $(seq 100); do
    DISPLAY=$QUORIN_XVNC xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "Xvnc did not start on $QUORIN_XVNC" >&2
  return 1
}
