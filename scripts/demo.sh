#!/usr/bin/env bash
# The main job: the real TAVRO.xpl flies in our simulated X-Plane at 60 frames per second while a
# simulated phone finds it through DNS-SD, streams head motion, asks about an airport and decodes
# everything it receives. Usage: demo.sh BUILD [SECONDS]; Ctrl-C ends it cleanly.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
seconds=${2:-${DEMO_SECONDS:-20}}

# A regional apt.dat around the route, generated once and kept in the build folder.
xp="$build/aptdata/demo"
apt="$xp/Global Scenery/Global Airports/Earth nav data/apt.dat"
if [ ! -s "$apt" ]; then
  mkdir -p "$(dirname "$apt")"
  "$build/tools/aptgen/cvht-aptgen" --seed 12 --airports 3000 --region 47.4,8.6,180 --out "$apt" >/dev/null
fi

phone_seconds=$(awk -v s="$seconds" 'BEGIN { print (s > 3 ? s - 2 : s) }')
pause_at=$(awk -v s="$seconds" 'BEGIN { print s * 0.35 }')
query_at=$(awk -v s="$seconds" 'BEGIN { print s * 0.2 }')
# The pilot's keys: tracking off and on again, the view held and let go, a new centre.
presses=$(awk -v s="$seconds" 'BEGIN { c = "corvane/head_tracker/"
  printf "--press %.2f:%stoggle --press %.2f:%stoggle --press %.2f:%sfreeze --press %.2f:%sfreeze --press %.2f:%srecenter",
    s * 0.6, c, s * 0.65, c, s * 0.7, c, s * 0.75, c, s * 0.8, c }')
inner=$(mktemp /tmp/cvht-demo.XXXXXX)
trap 'rm -f "$inner"' EXIT
cat >"$inner" <<INNER
set -u
trap '' INT   # the host and the phone end cleanly on Ctrl-C; this shell waits for them
export AVAHI_COMPAT_NOWARN=1
"$build/simhost/cvht-xphost" --scenario flight --system-path "$xp/" --seconds "$seconds" $presses &
host=\$!
sleep 1
"$build/tools/phone/cvht-phone" stream --host auto --pattern sway --seconds "$phone_seconds" \
  --pause "$pause_at:2" --query-nearest@"$query_at" --watch --time-offset 1
wait \$host
INNER

echo "== TAVRO demo: ${seconds}s of flight in a simulated X-Plane, with a simulated phone"
if "$here/tests/netns-run.sh" --avahi true 2>/dev/null; then
  echo "== in a private network namespace with its own dbus and avahi-daemon"
  exec "$here/tests/netns-run.sh" --avahi bash "$inner"
fi
echo "== cannot make a private network namespace here (needs root): running on this machine's network,"
echo "== without DNS-SD daemons of our own; the phone falls back to 127.0.0.1"
AVAHI_COMPAT_NOWARN=1 bash "$inner"
