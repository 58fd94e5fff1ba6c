#!/usr/bin/env bash
# Runs the latency benchmark on a private Xvfb at 1920x1080 with a private HOME, and stops
# everything afterwards. Usage: BUILD_DIR=build bench/e2e/run_latency_bench.sh [seconds]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}

cmake --build "$build" -j2 --target latency_bench quorin-remote-host >/dev/null

sandbox=$(mktemp -d /tmp/quorin-latency.XXXXXX)
display=
for n in $(seq 200 249); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
Xvfb ":$display" -screen 0 1920x1080x24 -noreset -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; wait $xvfb 2>/dev/null || true; rm -rf "$sandbox"' EXIT
for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

# The host keeps its key in a file store here: no session bus in the sandbox.
env -u DBUS_SESSION_BUS_ADDRESS HOME="$sandbox" XDG_CONFIG_HOME="$sandbox/config" \
  XDG_DATA_HOME="$sandbox/data" DISPLAY=":$display" "$build/bench/latency_bench" "$seconds"
