# Sourced by the scripts that need a private Wayland desktop with a screen-cast portal.
#
# start_wayland_stack DIR SHIM: starts, under DIR, a headless sway (one 1920x1080 output,
# HEADLESS-1, run as the unprivileged uid 65534 because sway refuses root), PipeWire with
# WirePlumber, xdg-desktop-portal-wlr (no chooser, always HEADLESS-1; SHIM, when not empty,
# is LD_PRELOADed into it) and xdg-desktop-portal on the session bus already in
# DBUS_SESSION_BUS_ADDRESS. XDG_RUNTIME_DIR must be set (PipeWire's socket goes there).
# Exports WAYLAND_DISPLAY (an absolute socket path) and SWAYSOCK (for swaymsg), and sets
# WAYLAND_STACK_PIDS (space-separated, for stop_wayland_stack).
# Returns non-zero, with a message and the logs under DIR, when a part does not come up.
# stop_wayland_stack: stops what start_wayland_stack started, by PID, and removes sway's files.
start_wayland_stack() {
  local dir=$1 shim=${2:-} sway_runtime n
  WAYLAND_STACK_PIDS=
  mkdir -p "$dir"
  # sway's own runtime dir, owned by its uid, outside DIR (which that uid may not reach).
  sway_runtime=$(mktemp -d /tmp/quorin-sway.XXXXXX)
  WAYLAND_STACK_DIR=$sway_runtime
  mkdir -p "$sway_runtime/home"
  cat >"$sway_runtime/config" <<'CONF'
output HEADLESS-1 resolution 1920x1080 position 0 0 bg #202020 solid_color
default_border none
CONF
  chown -R 65534:65534 "$sway_runtime" 2>/dev/null || true
  chmod 700 "$sway_runtime"
  local as_sway=()
  [ "$(id -u)" -ne 0 ] || as_sway=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  env -i PATH="$PATH" HOME="$sway_runtime/home" XDG_RUNTIME_DIR="$sway_runtime" \
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 \
    "${as_sway[@]}" sway -c "$sway_runtime/config" >"$dir/sway.log" 2>&1 &
  WAYLAND_STACK_PIDS="$!"
  for n in $(seq 100); do
    WAYLAND_DISPLAY=$(find "$sway_runtime" -maxdepth 1 -name 'wayland-*' -type s 2>/dev/null | head -1)
    SWAYSOCK=$(find "$sway_runtime" -maxdepth 1 -name 'sway-ipc.*' -type s 2>/dev/null | head -1)
    [ -z "$WAYLAND_DISPLAY" ] || [ -z "$SWAYSOCK" ] || break
    sleep 0.1
  done
  if [ -z "$WAYLAND_DISPLAY" ]; then
    echo "sway did not start:" >&2
    tail -5 "$dir/sway.log" >&2
    return 1
  fi
  export WAYLAND_DISPLAY SWAYSOCK

  pipewire >"$dir/pipewire.log" 2>&1 &
  WAYLAND_STACK_PIDS+=" $!"
  for n in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
  wireplumber >"$dir/wireplumber.log" 2>&1 &
  WAYLAND_STACK_PIDS+=" $!"

  printf '[screencast]\noutput_name=HEADLESS-1\nchooser_type=none\n' >"$dir/xdpw.config"
  mkdir -p "$dir/portals"
  cp /usr/share/xdg-desktop-portal/portals/wlr.portal "$dir/portals/"
  LD_PRELOAD=$shim /usr/libexec/xdg-desktop-portal-wlr -r -c "$dir/xdpw.config" >"$dir/xdpw.log" 2>&1 &
  WAYLAND_STACK_PIDS+=" $!"
  for n in $(seq 50); do
    dbus-send --session --dest=org.freedesktop.DBus --print-reply / org.freedesktop.DBus.GetNameOwner \
      string:org.freedesktop.impl.portal.desktop.wlr >/dev/null 2>&1 && break
    sleep 0.1
  done
  XDG_CURRENT_DESKTOP=sway XDG_DESKTOP_PORTAL_DIR=$dir/portals /usr/libexec/xdg-desktop-portal -r >"$dir/portal.log" 2>&1 &
  WAYLAND_STACK_PIDS+=" $!"
  for n in $(seq 100); do
    dbus-send --session --dest=org.freedesktop.portal.Desktop --print-reply \
      /org/freedesktop/portal/desktop org.freedesktop.DBus.Properties.Get \
      string:org.freedesktop.portal.ScreenCast string:version >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "the screen-cast portal did not start:" >&2
  tail -n 5 "$dir/xdpw.log" "$dir/portal.log" >&2
  return 1
}

stop_wayland_stack() {
  local pid
  for pid in $WAYLAND_STACK_PIDS; do kill "$pid" 2>/dev/null || true; done
  for pid in $WAYLAND_STACK_PIDS; do wait "$pid" 2>/dev/null || true; done
  WAYLAND_STACK_PIDS=
  [ -z "${WAYLAND_STACK_DIR:-}" ] || rm -rf "$WAYLAND_STACK_DIR"
  WAYLAND_STACK_DIR=
}
