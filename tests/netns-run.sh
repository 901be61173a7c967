#!/usr/bin/env bash
# Runs a command in a network and mount namespace of its own: loopback only, a private /run/dbus and
# /run/avahi-daemon, and with --avahi a system bus and avahi-daemon of its own that end with it.
# UDP 49707 and mDNS traffic of the tests therefore never meet a real X-Plane or leave this machine.
# Where namespaces cannot be made (no privileges), the command runs as it is.
set -u

avahi=0
if [ "${1:-}" = "--avahi" ]; then avahi=1; shift; fi

if [ -z "${CVHT_IN_NETNS:-}" ]; then
  if unshare --net --mount --propagation private true 2>/dev/null; then
    exec env CVHT_IN_NETNS=1 unshare --net --mount --propagation private -- "$0" $([ $avahi -eq 1 ] && echo --avahi) "$@"
  fi
  if [ $avahi -eq 1 ]; then
    echo "netns-run: cannot create namespaces here; DNS-SD tests need root" >&2
    exit 77
  fi
  exec "$@"
fi

ip link set lo up
mount -t tmpfs tmpfs /run/dbus 2>/dev/null || { mkdir -p /run/dbus && mount -t tmpfs tmpfs /run/dbus; }
mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon

if [ $avahi -eq 0 ]; then
  exec "$@"
fi

work=$(mktemp -d /tmp/cvht-avahi.XXXXXX)
daemons=()
cleanup() {
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${daemons[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

# mDNS needs a multicast-capable interface; loopback gets the flag inside this namespace only.
ip link set lo multicast on

dbus-daemon --system --nofork --nopidfile >"$work/dbus.log" 2>&1 &
daemons+=($!)
for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
if [ ! -S /run/dbus/system_bus_socket ]; then echo "netns-run: dbus-daemon did not start" >&2; exit 1; fi

cat >"$work/avahi-daemon.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
publish-hinfo=no
publish-addresses=yes
publish-aaaa-on-ipv4=no
[reflector]
[rlimits]
CONF
avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$work/avahi-daemon.conf" >"$work/avahi.log" 2>&1 &
daemons+=($!)
for _ in $(seq 100); do
  avahi-daemon --check 2>/dev/null && grep -q "Server startup complete" "$work/avahi.log" && break
  sleep 0.1
done
if ! grep -q "Server startup complete" "$work/avahi.log"; then
  echo "netns-run: avahi-daemon did not start:" >&2; cat "$work/avahi.log" >&2; exit 1
fi

"$@"
