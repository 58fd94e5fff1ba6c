#!/usr/bin/env bash
# Runs the text quality benchmark on a private Xvfb (1920x1080 unless told) with a private
# HOME, and stops everything afterwards. The host listens on its fixed port: nothing else may.
# Usage: BUILD_DIR=build bench/video/run_text_quality_bench.sh [pages|dense|typed|caret|caret-code|caret-dense] [count] [WIDTHxHEIGHT]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}

cmake --build "$build" -j2 --target text_quality_bench quorin-remote-host >/dev/null

sandbox=$(mktemp -d /tmp/quorin-text-quality.XXXXXX)
. "$root/scripts/lib/xvfb.sh"
trap 'stop_xvfb; rm -rf "$sandbox"' EXIT
start_xvfb 250 299 "${3:-1920x1080}"
# The host keeps its key in a file store here: no session bus in the sandbox.
env -u DBUS_SESSION_BUS_ADDRESS HOME="$sandbox" XDG_CONFIG_HOME="$sandbox/config" \
  XDG_DATA_HOME="$sandbox/data" "$build/bench/text_quality_bench" "${1:-pages}" "${2:-0}"
