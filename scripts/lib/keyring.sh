# Sourced by the scripts that need a Secret Service on the session bus.
# start_keyring LOG: starts gnome-keyring with an unlocked login keyring on DBUS_SESSION_BUS_ADDRESS
# and waits until that daemon owns org.freedesktop.secrets; sets KEYRING_PID. The keyring is
# created with an empty password, which needs a line on stdin (an empty stdin creates nothing).
#
# The name is watched only through the bus itself (NameHasOwner, GetConnectionUnixProcessID):
# a call to the name starts a second, locked daemon through D-Bus activation, which may take
# the name first, and every Secret Service call then waits on an unlock prompt. --replace
# takes the name back from such a daemon, and the owner's PID confirms that ours holds it.

secrets_owner_pid() {
  dbus-send --session --dest=org.freedesktop.DBus --print-reply /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets 2>/dev/null |
    awk '/uint32/ { print $2 }'
}

keyring_owns_secrets() { [ "$(secrets_owner_pid)" = "$KEYRING_PID" ]; }

start_keyring() {
  local log=$1 attempt
  for attempt in 1 2 3; do
    echo '' | gnome-keyring-daemon --foreground --replace --unlock --components=secrets >>"$log" 2>&1 &
    KEYRING_PID=$!
    local deadline=$((SECONDS + 10))
    until keyring_owns_secrets; do
      if [ $SECONDS -ge $deadline ] || ! kill -0 "$KEYRING_PID" 2>/dev/null; then break; fi
      sleep 0.1
    done
    keyring_owns_secrets && return 0
    echo "gnome-keyring (attempt $attempt): org.freedesktop.secrets is owned by PID" \
      "'$(secrets_owner_pid)', not by the unlocked daemon $KEYRING_PID" >>"$log"
    kill "$KEYRING_PID" 2>/dev/null
    wait "$KEYRING_PID" 2>/dev/null
  done
  KEYRING_PID=
  return 1
}
