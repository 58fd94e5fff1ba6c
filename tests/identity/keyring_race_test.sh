#!/usr/bin/env bash
# Starts the test keyring the way scripts/test does, but loses the race for the Secret
# Service's name on purpose: a call to the name comes first and D-Bus activation starts a
# second, locked daemon a second before the unlocked one. The unlocked daemon must still own
# the name, and the keyring tests ($1, keyring_test) must pass against it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sandbox=$(mktemp -d /tmp/quorin-keyring-race.XXXXXX)
bus_pid= KEYRING_PID=
cleanup() {
  [ -z "$KEYRING_PID" ] || kill "$KEYRING_PID" 2>/dev/null || true
  [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

# A keyring of its own: --replace finds a running daemon through XDG_RUNTIME_DIR, so sharing
# the caller's would take over scripts/test's keyring.
export HOME=$sandbox/home XDG_DATA_HOME=$sandbox/data XDG_RUNTIME_DIR=$sandbox/runtime
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
bus_pid=$(sed -n 2p <<<"$bus")

. "$here/../../scripts/lib/keyring.sh"

# The first call to the name, as the old wait loop made it; it waits for whoever answers.
dbus-send --session --dest=org.freedesktop.secrets --reply-timeout=20000 --print-reply \
  /org/freedesktop/secrets org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 &
for _ in $(seq 50); do
  [ -z "$(secrets_owner_pid)" ] || break
  sleep 0.1
done
activated=$(secrets_owner_pid)
[ -n "$activated" ] || { echo "D-Bus activation started no keyring daemon; the race was not set up" >&2; exit 1; }
sleep 1

if ! start_keyring "$sandbox/keyring.log"; then
  cat "$sandbox/keyring.log" >&2
  exit 1
fi
echo "the activated daemon $activated took the name first; the unlocked daemon $KEYRING_PID owns it now"
CI=true "$1" --gtest_brief=1 --gtest_filter=-*Locked*
# Last: these lock the keyring, and the last of them leaves it locked. Without a display no
# unlock prompt can show.
env -u DISPLAY -u WAYLAND_DISPLAY CI=true QUORIN_KEYRING_OF_ITS_OWN=1 "$1" --gtest_brief=1 --gtest_filter=*Locked*
