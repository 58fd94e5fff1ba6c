#!/usr/bin/env bash
# Runs the video pipeline benchmark on a private Xvfb (1920x1080 unless told) and stops it
# afterwards. Usage: BUILD_DIR=build bench/video/run_video_bench.sh [seconds] [runs] [WIDTHxHEIGHT]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}
runs=${2:-1}
size=${3:-1920x1080}

cmake --build "$build" -j2 --target video_pipeline_bench screen_animator >/dev/null

. "$root/scripts/lib/xvfb.sh"
start_xvfb 150 199 "$size"
trap stop_xvfb EXIT

for run in $(seq "$runs"); do
  echo "## Run $run of $runs"
  XVFB_PID=$XVFB_PID "$build/bench/video_pipeline_bench" "$seconds"
  echo
done
