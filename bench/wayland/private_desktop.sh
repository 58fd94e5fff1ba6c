# Sourced by the benchmarks that run a compositor of their own.
# start_private_desktop NAME: a sandbox (HOME and XDG_* under a fresh /tmp/NAME.XXXXXX), a
# private session bus, and PipeWire with WirePlumber on it, as on a desktop (WirePlumber links a
# compositor's streams to their readers). Sets `sandbox`; each PID started goes to the front of
# `started`, and all are stopped newest first when the script exits, the sandbox removed.
start_private_desktop() {
  sandbox=$(mktemp -d "/tmp/$1.XXXXXX")
  started=()
  trap stop_private_desktop EXIT
  mkdir -m 700 "$sandbox/runtime"
  export XDG_RUNTIME_DIR=$sandbox/runtime HOME=$sandbox XDG_CONFIG_HOME=$sandbox/config XDG_DATA_HOME=$sandbox/data
  unset DISPLAY WAYLAND_DISPLAY
  # Programs keep their keys in files under HOME: this bus starts no keyring.
  local bus
  bus=$(dbus-daemon --config-file="$root/scripts/config/private-session-bus.conf" --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
  started=("$(sed -n 2p <<<"$bus")")
  pipewire >"$sandbox/pipewire.log" 2>&1 &
  started=($! "${started[@]}")
  local _
  for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
  wireplumber >"$sandbox/wireplumber.log" 2>&1 &
  started=($! "${started[@]}")
}

stop_private_desktop() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$sandbox"
}
