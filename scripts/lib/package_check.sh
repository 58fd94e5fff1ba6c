#!/usr/bin/env bash
# package_check.sh BUILD_DIR: builds the Debian package with scripts/package and checks it as
# a user would get it: lintian without errors or warnings, the menu entry and the user unit
# valid, every library the binary links owned by a package it depends on, and the unpacked
# binary (no LD_LIBRARY_PATH, nothing from the build folder) serving the display of this
# session to the reference client, which pairs with the host's key and decodes a picture,
# then stopping with status 0 on SIGTERM, as `systemctl --user stop` asks it to.
# Run by scripts/test inside its sandbox (DISPLAY, HOME, the buses and avahi-daemon).
# Prints one closing line; exits 1 when a check fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
work=$(mktemp -d /tmp/quorin-package.XXXXXX)
host_pid=
cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}

BUILD_DIR=$build "$root/scripts/package" >"$work/package.log" 2>&1 ||
  { cat "$work/package.log" >&2; fail "scripts/package did not build the package"; }
deb=$(tail -n 1 "$work/package.log")
[ -f "$deb" ] || fail "scripts/package named no package"

lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log" >&2; fail "lintian reports errors or warnings"; }

unpacked=$work/root
dpkg-deb -x "$deb" "$unpacked"
bin=$unpacked/usr/bin/quorin-remote-host
entry=$unpacked/usr/share/applications/quorin-remote-host.desktop
desktop-file-validate "$entry" || fail "the menu entry is not a valid desktop entry"
# KWin grants its screen cast and fake input to the binary the entry names by its absolute path.
grep -qx 'Exec=/usr/bin/quorin-remote-host' "$entry" || fail "the menu entry does not name /usr/bin/quorin-remote-host"
grep -qx 'X-KDE-Wayland-Interfaces=zkde_screencast_unstable_v1,org_kde_kwin_fake_input' "$entry" ||
  fail "the menu entry does not ask KWin for its screen cast and fake input"

# systemd-analyze checks that ExecStart exists, so the unit points at the unpacked binary here;
# it reports most mistakes as warnings with status 0, so any output fails.
unit=$unpacked/usr/lib/systemd/user/quorin-remote-host.service
[ -f "$unit" ] || fail "the package has no user unit"
mkdir -m 700 "$work/runtime" "$work/unit"
sed "s|/usr/bin/quorin-remote-host|$bin|" "$unit" >"$work/unit/quorin-remote-host.service"
XDG_RUNTIME_DIR=$work/runtime systemd-analyze verify --user --man=no \
  "$work/unit/quorin-remote-host.service" >"$work/verify.log" 2>&1 || true
[ ! -s "$work/verify.log" ] || { cat "$work/verify.log" >&2; fail "systemd-analyze rejects the user unit"; }

# Each library the binary names must come from a package it depends on; the binary must not
# look for libraries anywhere of its own (an RPATH into the build folder, say).
! objdump -p "$bin" | grep -qE '^ *(RPATH|RUNPATH) ' || fail "the binary carries a library search path"
depends=" $(dpkg-deb -f "$deb" Depends | sed -E 's/ *\([^)]*\)//g; s/ *[,|] */ /g') "
env -u LD_LIBRARY_PATH ldd "$bin" >"$work/ldd.log" || fail "ldd cannot read the binary"
! grep -q 'not found' "$work/ldd.log" || { cat "$work/ldd.log" >&2; fail "a library of the binary is missing"; }
! grep -qF "$build" "$work/ldd.log" || fail "the binary loads a library from $build"
for lib in $(objdump -p "$bin" | awk '$1 == "NEEDED" { print $2 }'); do
  owners=$(dpkg-query -S "*/$lib" 2>/dev/null | cut -d: -f1 | tr ', ' '\n\n' | sort -u)
  found=
  for owner in $owners; do [[ $depends == *" $owner "* ]] && found=1; done
  [ -n "$found" ] || fail "$lib comes from ${owners:-no package}, which the package does not depend on"
done

# Both programs name the packaged version.
client=$build/bin/quorin-client
packaged=$(dpkg-deb -f "$deb" Version)
for program in "env -u LD_LIBRARY_PATH $bin" "$client"; do
  version=$($program --version) || fail "$program --version failed"
  [[ $version == quorin-*" $packaged"* ]] || fail "--version says \"$version\", the package is $packaged"
done

# The unpacked host, headless on this session's display, and the reference client.
pairing=$(env -u LD_LIBRARY_PATH "$bin" --pairing-text 2>/dev/null) || fail "--pairing-text failed"
env -u LD_LIBRARY_PATH "$bin" --headless >"$work/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 100); do
  grep -q '^Advertising' "$work/host.log" && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '^Advertising' "$work/host.log" || { cat "$work/host.log" >&2; fail "the unpacked host did not start"; }
"$client" connect 127.0.0.1 --pairing "$pairing" --seconds 3 --timeout 10 --snapshot "$work/screen.png" \
  --stats >"$work/client.log" 2>&1 || { cat "$work/client.log" "$work/host.log" >&2; fail "the client could not pair and stream"; }
grep -qE '"decodedFrames":[1-9]' "$work/client.log" && [ -s "$work/screen.png" ] ||
  { cat "$work/client.log" >&2; fail "the client decoded no picture"; }
kill -TERM "$host_pid"
for _ in $(seq 150); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$host_pid" 2>/dev/null || fail "the host did not stop within 15 s of SIGTERM"
status=0
wait "$host_pid" || status=$?
host_pid=
[ "$status" -eq 0 ] || { cat "$work/host.log" >&2; fail "the host ended with status $status on SIGTERM"; }

echo "package check passed: $(basename "$deb") (lintian clean, unpacked host served the client)"
