# Sourced by the scripts that need a headless KDE compositor.
#
# start_kwin [BINARY INTERFACES]...: starts kwin_wayland --virtual with two 1280x800 outputs side
# by side (Virtual-0 at 0,0 and Virtual-1 at 1280,0), no Xwayland, on the session bus of
# $DBUS_SESSION_BUS_ADDRESS and the PipeWire already running in $XDG_RUNTIME_DIR. Each BINARY
# (an absolute path, which need not exist yet) is granted the comma-separated Wayland
# INTERFACES (zkde_screencast_unstable_v1, org_kde_kwin_fake_input ...) through a desktop file in
# $XDG_DATA_HOME/applications, written first because KWin reads those files as it starts and
# decides once per client connection. Nothing else gets the privileged interfaces: permission
# checks stay on. The socket is named $KWIN_DISPLAY_NAME (default quorin-kwin-PID), the log
# goes to $KWIN_LOG (default $XDG_RUNTIME_DIR/kwin.log). Exports KWIN_WAYLAND_DISPLAY
# (WAYLAND_DISPLAY is left to another compositor) and sets KWIN_PID; stop it by PID.
start_kwin() {
  local display=${KWIN_DISPLAY_NAME:-quorin-kwin-$$}
  : "${DBUS_SESSION_BUS_ADDRESS:?start_kwin needs a session bus}" "${XDG_RUNTIME_DIR:?}" "${XDG_DATA_HOME:?}"
  local log=${KWIN_LOG:-$XDG_RUNTIME_DIR/kwin.log}
  [ $(($# % 2)) -eq 0 ] || { echo "start_kwin: give each binary its interfaces" >&2; return 1; }
  mkdir -p "$XDG_DATA_HOME/applications"
  while [ $# -gt 0 ]; do
    grant_kwin_interfaces "$1" "$2" || return 1
    shift 2
  done
  # /usr/bin/kwin_wayland carries a file capability that a container's bounding set may lack,
  # and then it cannot be run at all; a copy has none and needs none here.
  local kwin=$XDG_RUNTIME_DIR/kwin_wayland
  cp /usr/bin/kwin_wayland "$kwin" || return 1
  # With WAYLAND_DISPLAY or DISPLAY set it would look for a parent compositor.
  env -u WAYLAND_DISPLAY -u DISPLAY \
    "$kwin" --virtual --width 1280 --height 800 --output-count 2 --socket "$display" \
    --no-lockscreen --no-global-shortcuts --no-kactivities >"$log" 2>&1 &
  KWIN_PID=$!
  export KWIN_WAYLAND_DISPLAY=$display
  local _
  for _ in $(seq 150); do
    [ -S "$XDG_RUNTIME_DIR/$display" ] && kwin_answers "$XDG_RUNTIME_DIR/$display" && return 0
    kill -0 "$KWIN_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "kwin did not start (see $log)" >&2
  return 1
}

# grant_kwin_interfaces BINARY INTERFACES: the desktop file through which KWin offers INTERFACES
# to the program running BINARY. KWin compares the canonical path of Exec= with the client's
# /proc/PID/exe, so the path is absolute with its symbolic links resolved.
grant_kwin_interfaces() {
  local exe
  exe=$(realpath -m "$1") || return 1
  cat >"$XDG_DATA_HOME/applications/quorin-kwin-grant-$(basename "$exe").desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=$(basename "$exe")
Exec="$exe"
NoDisplay=true
X-KDE-Wayland-Interfaces=$2
DESKTOP
}

# kwin_answers SOCKET: whether the compositor on SOCKET answers a wl_display.sync, i.e. runs its
# event loop and not only listens.
kwin_answers() {
  python3 - "$1" <<'PY'
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(1)
try:
    s.connect(sys.argv[1])
    s.sendall(struct.pack("<III", 1, 12 << 16, 2))  # wl_display.sync with callback id 2
    data = b""
    while True:
        while len(data) >= 8:
            sender, size_opcode = struct.unpack_from("<II", data)
            if sender == 2:  # wl_callback.done
                sys.exit(0)
            if size_opcode >> 16 < 8:
                sys.exit(1)
            data = data[size_opcode >> 16:]
        chunk = s.recv(4096)
        if not chunk:
            sys.exit(1)
        data += chunk
except OSError:
    sys.exit(1)
PY
}
