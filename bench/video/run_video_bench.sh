#!/usr/bin/env bash
# Runs the video pipeline benchmark on a private Xvfb of each size given (1920x1080 unless
# told), one after the other, and stops it afterwards. A screen larger than 1920x1080 is
# streamed scaled down to fit, as the host does by default.
# Usage: BUILD_DIR=build bench/video/run_video_bench.sh [seconds] [runs] [WIDTHxHEIGHT ...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}
runs=${2:-1}
sizes=("${@:3}")
[ ${#sizes[@]} -gt 0 ] || sizes=(1920x1080)

cmake --build "$build" -j2 --target video_pipeline_bench screen_animator >/dev/null

. "$root/scripts/lib/xvfb.sh"
trap stop_xvfb EXIT
for size in "${sizes[@]}"; do
  start_xvfb 150 199 "$size"
  for run in $(seq "$runs"); do
    echo "## $size, run $run of $runs"
    XVFB_PID=$XVFB_PID "$build/bench/video_pipeline_bench" "$seconds"
    echo
  done
  stop_xvfb
done
