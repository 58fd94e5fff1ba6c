#!/usr/bin/env bash
# Runs the input benchmark on a private Xvfb at 1920x1080 and stops it afterwards.
# Usage: BUILD_DIR=build bench/input/run_input_bench.sh [arguments of input_latency_bench]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}

cmake --build "$build" -j2 --target input_latency_bench >/dev/null

. "$root/scripts/lib/xvfb.sh"
start_xvfb 250 299
trap stop_xvfb EXIT
"$build/bench/input_latency_bench" "$@"
