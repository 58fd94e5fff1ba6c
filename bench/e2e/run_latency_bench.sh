#!/usr/bin/env bash
# Runs the latency benchmark on a private Xvfb of each size given (1920x1080 unless told), one
# after the other, with a private HOME, and stops everything afterwards.
# Usage: BUILD_DIR=build bench/e2e/run_latency_bench.sh [seconds] [WIDTHxHEIGHT ...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}
sizes=("${@:2}")
[ ${#sizes[@]} -gt 0 ] || sizes=(1920x1080)

cmake --build "$build" -j2 --target latency_bench quorin-remote-host >/dev/null

sandbox=$(mktemp -d /tmp/quorin-latency.XXXXXX)
. "$root/scripts/lib/xvfb.sh"
trap 'stop_xvfb; rm -rf "$sandbox"' EXIT
for size in "${sizes[@]}"; do
  start_xvfb 200 249 "$size"
  # The host keeps its key in a file store here: no session bus in the sandbox.
  env -u DBUS_SESSION_BUS_ADDRESS HOME="$sandbox" XDG_CONFIG_HOME="$sandbox/config" \
    XDG_DATA_HOME="$sandbox/data" "$build/bench/latency_bench" "$seconds"
  echo
  stop_xvfb
done
