#!/usr/bin/env bash
# The main job: the real TAVRO.xpl in our simulated X-Plane for a while, with its log on the terminal.
set -euo pipefail
build=${1:-build}
seconds=${DEMO_SECONDS:-20}
exec "$(dirname "$0")/../tests/netns-run.sh" --avahi "$build/simhost/cvht-xphost" --seconds "$seconds"
