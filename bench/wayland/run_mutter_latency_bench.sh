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

. "$root/bench/wayland/private_desktop.sh"
start_private_desktop quorin-mutter-latency
. "$root/scripts/lib/mutter.sh"
up=0
MUTTER_LOG=$sandbox/mutter.log start_mutter 1920x1080 || up=$?
started=("$MUTTER_PID" "${started[@]}")
[ "$up" -eq 0 ] || exit 1

echo "GNOME ($(mutter --version | head -1), headless):"
WAYLAND_DISPLAY=$MUTTER_WAYLAND_DISPLAY QUORIN_BENCH_ROUTE="GNOME remote desktop" \
  "$build/bench/wayland_latency_bench" "$seconds" "${started[@]}"
echo "load after: $(uptime)"
