# Sourced by the scripts that need a headless GNOME compositor.
# start_mutter [WxH...]: starts mutter --headless with a virtual monitor of each size given (one
# 1920x1080 when none; the first is the primary one, the next to its right), no Xwayland and the
# US keyboard layout (mutter alone sets no other), on the session bus of
# $DBUS_SESSION_BUS_ADDRESS and in $XDG_RUNTIME_DIR; and PipeWire first when none runs there,
# since mutter cannot start a remote desktop session without it. Its socket is named
# $MUTTER_DISPLAY_NAME (default quorin-mutter-PID), its log goes to $MUTTER_LOG (default
# $XDG_RUNTIME_DIR/mutter.log). Sets MUTTER_WAYLAND_DISPLAY (WAYLAND_DISPLAY is left to
# another compositor), MUTTER_PID and PIPEWIRE_PID (empty when one was already running). Stop
# both by PID.
start_mutter() {
  local display=${MUTTER_DISPLAY_NAME:-quorin-mutter-$$} size monitors=()
  : "${DBUS_SESSION_BUS_ADDRESS:?start_mutter needs a session bus}" "${XDG_RUNTIME_DIR:?}"
  local log=${MUTTER_LOG:-$XDG_RUNTIME_DIR/mutter.log}
  for size in "${@:-1920x1080}"; do monitors+=(--virtual-monitor "$size"); done
  PIPEWIRE_PID=
  if [ ! -S "$XDG_RUNTIME_DIR/pipewire-0" ]; then
    pipewire >"$XDG_RUNTIME_DIR/pipewire.log" 2>&1 &
    PIPEWIRE_PID=$!
  fi
  GSETTINGS_BACKEND=memory \
    mutter --headless --wayland --no-x11 "${monitors[@]}" --wayland-display="$display" >"$log" 2>&1 &
  MUTTER_PID=$!
  export MUTTER_WAYLAND_DISPLAY=$display
  local _
  for _ in $(seq 150); do
    if [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && [ -S "$XDG_RUNTIME_DIR/$display" ] &&
       dbus-send --session --dest=org.gnome.Mutter.RemoteDesktop --print-reply \
         /org/gnome/Mutter/RemoteDesktop org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1; then
      return 0
    fi
    kill -0 "$MUTTER_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "mutter did not start (see $log)" >&2
  return 1
}
