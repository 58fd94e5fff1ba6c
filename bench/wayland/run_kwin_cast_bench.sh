#!/usr/bin/env bash
# Runs kwin_cast_bench on a private headless KWin (two 1280x800 outputs, scripts/lib/kwin.sh)
# with PipeWire and WirePlumber on a private session bus: KWin grants the benchmark its screen
# cast, fake input and window list through a desktop file written before it starts. Prints the
# load average around it, and stops everything it started afterwards, by PID.
# Usage: BUILD_DIR=build bench/wayland/run_kwin_cast_bench.sh [seconds]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-10}

cmake --build "$build" -j2 --target kwin_cast_bench >/dev/null
bench=$build/bench/kwin_cast_bench

. "$root/bench/wayland/private_desktop.sh"
start_private_desktop quorin-kwin-cast
. "$root/scripts/lib/kwin.sh"
up=0
KWIN_LOG=$sandbox/kwin.log start_kwin "$bench" \
  zkde_screencast_unstable_v1,org_kde_kwin_fake_input,org_kde_plasma_window_management || up=$?
[ -z "${KWIN_PID:-}" ] || started=("$KWIN_PID" "${started[@]}")
[ "$up" -eq 0 ] || { cat "$sandbox/kwin.log" >&2; exit 1; }

echo "load before: $(uptime)"
echo "KWin $(dpkg-query -W -f='${Version}' kwin-wayland 2>/dev/null), headless, software rendering"
"$bench" "$seconds" "$KWIN_PID"
echo "load after: $(uptime)"
