#!/usr/bin/env bash
# Runs the video pipeline benchmark on a private Xvfb at 1920x1080 and stops it afterwards.
# Usage: BUILD_DIR=build bench/video/run_video_bench.sh [seconds] [runs]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}
runs=${2:-1}

cmake --build "$build" -j2 --target video_pipeline_bench screen_animator >/dev/null

display=
for n in $(seq 150 199); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
Xvfb ":$display" -screen 0 1920x1080x24 -noreset -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; wait $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

for run in $(seq "$runs"); do
  echo "## Run $run of $runs"
  DISPLAY=":$display" XVFB_PID=$xvfb "$build/bench/video_pipeline_bench" "$seconds"
  echo
done
