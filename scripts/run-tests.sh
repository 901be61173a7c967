#!/usr/bin/env bash
# Runs every test of a build folder and ends with one plain summary line.
set -uo pipefail
build=${1:-build}
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600 2>&1 | tee ctest.log
rc=${PIPESTATUS[0]}
exit "$rc"
