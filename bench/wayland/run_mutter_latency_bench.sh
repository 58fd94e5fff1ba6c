#!/usr/bin/env bash
# Runs the X11 latency bench, then the same measure on a private headless mutter (one 1920x1080
# virtual monitor, scripts/lib/mutter.sh) with PipeWire on a private session bus, which the host
# shares through mutter's own remote desktop service; prints the load average around both.
# Stops everything it started afterwards, by PID.
# Usage: BUILD_DIR=build bench/wayland/run_mutter_latency_bench.sh [seconds]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}

cmake --build "$build" -j2 --target wayland_latency_bench latency_bench quorin-remote-host >/dev/null

echo "load before: $(uptime)"
echo "X11 (Xvfb):"
BUILD_DIR=$build "$root/bench/e2e/run_latency_bench.sh" "$seconds" 1920x1080

sandbox=$(mktemp -d /tmp/quorin-mutter-latency.XXXXXX)
started=()
cleanup() {
  local pid
  # Newest first: mutter, then PipeWire, then the bus.
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$sandbox"
}
trap cleanup EXIT
mkdir -m 700 "$sandbox/runtime"
export XDG_RUNTIME_DIR=$sandbox/runtime HOME=$sandbox XDG_CONFIG_HOME=$sandbox/config XDG_DATA_HOME=$sandbox/data
unset DISPLAY
# The host keeps its key in its file store under HOME: this bus starts no keyring.
bus=$(dbus-daemon --config-file="$root/scripts/config/private-session-bus.conf" --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
started=("$(sed -n 2p <<<"$bus")")
# PipeWire with its session manager, as on a desktop, which links the host's stream to mutter's.
pipewire >"$sandbox/pipewire.log" 2>&1 &
started=($! "${started[@]}")
for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
wireplumber >"$sandbox/wireplumber.log" 2>&1 &
started=($! "${started[@]}")
. "$root/scripts/lib/mutter.sh"
up=0
MUTTER_LOG=$sandbox/mutter.log start_mutter 1920x1080 || up=$?
started=("$MUTTER_PID" "${started[@]}")
[ "$up" -eq 0 ] || exit 1

echo "GNOME ($(mutter --version | head -1), headless):"
WAYLAND_DISPLAY=$MUTTER_WAYLAND_DISPLAY QUORIN_BENCH_ROUTE="GNOME remote desktop" \
  "$build/bench/wayland_latency_bench" "$seconds" "${started[@]}"
echo "load after: $(uptime)"
