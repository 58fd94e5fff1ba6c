#!/usr/bin/env bash
# What a hung X server costs the headless host: a client watches a private Xvfb, the X server
# is stopped (SIGSTOP), and the script times how long the host takes to end that session with
# a sentence, to refuse the next client with a sentence, and to exit after SIGTERM, and says
# whether the stop was the host's own or the forced exit. Then the same SIGTERM 0.5 s into the
# hang, while the session still waits on the display. Runs `runs` times (default 3).
# Usage: BUILD_DIR=build bench/e2e/run_hung_display_bench.sh [runs]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${1:-3}
cmake --build "$build" -j2 --target quorin-remote-host quorin-client >/dev/null

sandbox=$(mktemp -d /tmp/quorin-hung.XXXXXX)
. "$root/scripts/lib/xvfb.sh"
host_pid=
cleanup() {
  [ -z "$XVFB_PID" ] || kill -CONT "$XVFB_PID" 2>/dev/null || true
  [ -z "$host_pid" ] || kill -9 "$host_pid" 2>/dev/null || true
  stop_xvfb || true
  rm -rf "$sandbox"
}
trap cleanup EXIT
# The host keeps its key in a file store here: no session bus in the sandbox.
export HOME=$sandbox XDG_CONFIG_HOME=$sandbox/config XDG_DATA_HOME=$sandbox/data QUORIN_BACKEND=x11
unset DBUS_SESSION_BUS_ADDRESS
host=$build/bin/quorin-remote-host
client=$build/bin/quorin-client

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
# wait_line FILE TEXT: until TEXT appears in FILE, at most 20 s.
wait_line() {
  for _ in $(seq 400); do grep -q "$2" "$1" && return 0; sleep 0.05; done
  echo "timed out waiting for \"$2\"" >&2
  return 1
}

start_host() {
  start_xvfb 200 249 1920x1080
  log=$sandbox/host-$1.log
  "$host" --pairing-text >"$sandbox/pairing.txt" 2>/dev/null
  "$host" --headless >"$log" 2>&1 &
  host_pid=$!
  wait_line "$log" Advertising
  "$client" connect 127.0.0.1 --pairing @"$sandbox/pairing.txt" --seconds 30 >/dev/null 2>&1 &
  watcher=$!
  wait_line "$log" "Connected client"
}
# stop_host: SIGTERM; sets `took` and `how`.
stop_host() {
  local term
  term=$(now)
  kill -TERM "$host_pid"
  wait "$host_pid" && status=0 || status=$?
  took=$(since "$term" "$(now)")
  host_pid=
  how=own
  grep -q "stopping without waiting any longer" "$log" && how=forced
  how="$how, status $status"
}
end_run() {
  kill "$@" 2>/dev/null || true
  wait "$@" 2>/dev/null || true
  kill -CONT "$XVFB_PID"
  stop_xvfb
  XVFB_PID=
}

printf '%-4s %-26s %-26s %-14s %s\n' run "session ended after (s)" "next client told after (s)" "exit after (s)" stop
for run in $(seq "$runs"); do
  start_host "$run"
  kill -STOP "$XVFB_PID"
  stopped=$(now)
  wait_line "$log" "Last error: The X display stopped answering"
  ended=$(now)
  "$client" connect 127.0.0.1 --pairing @"$sandbox/pairing.txt" --seconds 30 >/dev/null 2>&1 &
  newcomer=$!
  asked=$(now)
  wait_line "$log" "Last error: The X display does not answer"
  told=$(now)
  stop_host
  printf '%-4s %-26s %-26s %-14s %s\n' "$run" "$(since "$stopped" "$ended")" "$(since "$asked" "$told")" "$took" "$how"
  end_run "$watcher" "$newcomer"
done
echo
printf '%-4s %-14s %s\n' run "exit after (s)" "stop (SIGTERM 0.5 s into the hang)"
for run in $(seq "$runs"); do
  start_host "early-$run"
  kill -STOP "$XVFB_PID"
  sleep 0.5
  stop_host
  printf '%-4s %-14s %s\n' "$run" "$took" "$how"
  end_run "$watcher"
done
