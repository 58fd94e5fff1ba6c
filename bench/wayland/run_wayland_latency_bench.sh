#!/usr/bin/env bash
# Runs the X11 latency bench, then the same measure on a private headless sway (1920x1080) with
# PipeWire and the screen-cast portal on a private session bus, and prints the load average
# around both. Stops everything it started afterwards.
# Usage: BUILD_DIR=build bench/wayland/run_wayland_latency_bench.sh [seconds]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}

cmake --build "$build" -j2 --target wayland_latency_bench latency_bench quorin-remote-host \
  quorin_screencopy_format_shim >/dev/null

echo "load before: $(uptime)"
echo "X11 (Xvfb):"
BUILD_DIR=$build "$root/bench/e2e/run_latency_bench.sh" "$seconds" 1920x1080

sandbox=$(mktemp -d /tmp/quorin-wayland-latency.XXXXXX)
bus_pid=
cleanup() {
  ! declare -F stop_wayland_stack >/dev/null || stop_wayland_stack
  [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null || true
  # The portal has the bus start the document portal, which mounts itself in the runtime dir.
  fusermount -uz "$sandbox/runtime/doc" 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT
mkdir -m 700 "$sandbox/runtime"
export XDG_RUNTIME_DIR=$sandbox/runtime HOME=$sandbox XDG_CONFIG_HOME=$sandbox/config XDG_DATA_HOME=$sandbox/data
unset DISPLAY
# A private session bus for the portal; the host keeps its key in its file store under HOME.
bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
bus_pid=$(sed -n 2p <<<"$bus")
. "$root/scripts/lib/wayland.sh"
start_wayland_stack "$sandbox/wayland" "$build/tests/quorin_screencopy_format_shim.so"

echo "Wayland (headless sway, pixman renderer):"
# shellcheck disable=SC2086 # one argument per PID
"$build/bench/wayland_latency_bench" "$seconds" $WAYLAND_STACK_PIDS
echo "load after: $(uptime)"
