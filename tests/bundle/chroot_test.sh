#!/usr/bin/env bash
# Runs the bundle's executable inside a minimal Debian root (debootstrap --variant=minbase bookworm:
# no Boost, duktape, sdbus-c++, curl or OpenSSL), against the host simulator outside the root on
# loopback, with a D-Bus session bus whose daemon runs outside and whose socket lies inside the root.
# The scenario (chroot_session.py) checks the registration, that every library the process maps besides
# glibc's comes from the bundle, its resident memory, a key press on the bus and a title from the bus.
#   chroot_test.sh <path>/com.zorbel.streamdeck.sdPlugin
# Needs root (debootstrap, chroot); exits 77 (skipped) without it. The root is built once into
# $ZB_MINBASE_ROOT (default /var/cache/zorbel-ci/bookworm-minbase), reused while it works, rebuilt
# when it is broken. $ZB_DEBIAN_MIRROR overrides the Debian mirror.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bundle=$(cd "$1" && pwd)
name=$(basename "$bundle")
root=${ZB_MINBASE_ROOT:-/var/cache/zorbel-ci/bookworm-minbase}
mirror=${ZB_DEBIAN_MIRROR:-http://deb.debian.org/debian}
marker=.zorbel-minbase-complete

if [ "$(id -u)" -ne 0 ] || ! command -v debootstrap >/dev/null || ! command -v chroot >/dev/null; then
  echo "chroot_test: needs root, debootstrap and chroot; skipped" >&2
  exit 77
fi

mkdir -p "$(dirname "$root")"
# One run at a time uses the root, and only one builds it.
exec 9>"$root.lock"
flock 9

usable() {
  [ -e "$1/$marker" ] && chroot "$1" /bin/true 2>/dev/null && chroot "$1" /usr/bin/dpkg-query -W libc6 >/dev/null 2>&1
}
if ! usable "$root"; then
  echo "chroot_test: building $root (debootstrap --variant=minbase bookworm)"
  rm -rf "$root" "$root.new"
  debootstrap --variant=minbase bookworm "$root.new" "$mirror" >"$(dirname "$root")/debootstrap.log" 2>&1 ||
    { tail -20 "$(dirname "$root")/debootstrap.log" >&2; rm -rf "$root.new"; exit 1; }
  touch "$root.new/$marker"
  mv "$root.new" "$root"
fi

# The root must not provide what the bundle is meant to carry or link in.
present=$(chroot "$root" /usr/bin/dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' 2>/dev/null |
  awk '$1 ~ /^ii/ {print $2}' | grep -E '^lib(boost|duktape|sdbus|curl|ssl)' || true)
if [ -n "$present" ]; then
  echo "chroot_test: $root has packages the bundle must not rely on: $present" >&2
  exit 1
fi

# Everything this run adds to the root lives under per-run names and goes at the end.
run=zorbel-test.$$
work=$(mktemp -d)
mounted_proc=0 bus_pid=""
cleanup() {
  if [ -n "$bus_pid" ]; then kill -TERM "$bus_pid" 2>/dev/null || true; wait "$bus_pid" 2>/dev/null || true; fi
  if [ "$mounted_proc" = 1 ]; then umount "$root/proc" || umount -l "$root/proc" || true; fi
  rm -rf "${root:?}/opt/$run" "${root:?}/run/$run" "${root:?}/tmp/$run" "$work"
}
trap cleanup EXIT

# What an interrupted run left behind.
rm -rf "${root:?}"/opt/zorbel-test.* "${root:?}"/run/zorbel-test.* "${root:?}"/tmp/zorbel-test.*
if grep -q '^# zorbel-test' "$root/etc/hosts" 2>/dev/null; then rm -f "$root/etc/hosts"; fi

mkdir -p "$root/opt/$run" "$root/run/$run" "$root/tmp/$run/home"
cp -a "$bundle" "$root/opt/$run/"
# The loader finds $ORIGIN (the bundle's lib/) through /proc/self/exe, as on every running system.
if ! mountpoint -q "$root/proc"; then
  mount -t proc proc "$root/proc"
  mounted_proc=1
fi
# minbase has no /etc/hosts: the plug-in reaches the host at "localhost" through its loopback
# fallback (127.0.0.1, then ::1), as in sandboxes where localhost does not resolve.

# The session bus: the daemon outside, its socket inside the root.
socket="$root/run/$run/bus"
mkfifo "$work/address"
dbus-daemon --session --address="unix:path=$socket" --nofork --nopidfile --print-address=1 >"$work/address" &
bus_pid=$!
exec 3<"$work/address"
read -r -t 10 address <&3 || { echo "chroot_test: the session bus did not start" >&2; exit 1; }
exec 3<&-

# What the host starts: the bundle's executable inside the root, with an empty environment besides the
# session bus, a home folder and a runtime folder.
cat >"$work/plugin" <<EOF
#!/bin/sh
echo \$\$ >"$work/pid"
exec chroot "$root" /usr/bin/env -i HOME=/tmp/$run/home XDG_RUNTIME_DIR=/run/$run \\
  DBUS_SESSION_BUS_ADDRESS=unix:path=/run/$run/bus /opt/$run/$name/zorbel-streamdeck-plugin "\$@"
EOF
chmod +x "$work/plugin"

DBUS_SESSION_BUS_ADDRESS="$address" PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$here/../../tools/host-simulator" \
  /usr/bin/python3 "$here/chroot_session.py" \
  --plugin "$work/plugin" --pid-file "$work/pid" --bundle-path "$root/opt/$run/$name"
