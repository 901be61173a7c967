#!/usr/bin/env bash
# Runs every benchmark of a build folder; each prints its ratios against a baseline of the same run.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  AVAHI_COMPAT_NOWARN=1 "$here/tests/netns-run.sh" "$b"
done
