#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only those that are missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git binutils ccache strace gcovr
  libgtest-dev libgmock-dev libbenchmark-dev
  libavahi-compat-libdnssd-dev avahi-daemon avahi-utils dbus
  iproute2 util-linux procps
  qt6-base-dev qt6-base-dev-tools
  clang-14 libclang-rt-14-dev
  tshark
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 zip unzip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Package scripts must not start dbus or avahi-daemon on the host network: the tests start their own,
# inside a network namespace of their own.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
  "${sudo_cmd[@]}" chmod +x "$policy"
  made_policy=1
fi
cleanup() { [ "$made_policy" -eq 1 ] && "${sudo_cmd[@]}" rm -f "$policy"; return 0; }
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
