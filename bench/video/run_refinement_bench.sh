#!/usr/bin/env bash
# Runs the offline refinement benchmark on a private Xvfb (1920x1080 unless told), which only
# paints its pages of text.
# Usage: BUILD_DIR=build bench/video/run_refinement_bench.sh [WIDTHxHEIGHT]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}

cmake --build "$build" -j2 --target refinement_bench >/dev/null

. "$root/scripts/lib/xvfb.sh"
trap stop_xvfb EXIT
start_xvfb 300 349 "${1:-1920x1080}"
"$build/bench/refinement_bench"
