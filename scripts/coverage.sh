#!/usr/bin/env bash
# Line and branch coverage of the plug-in, its airport index and the installer's logic under the plain
# test suite: builds with gcov counters in BUILD (default build-cov), runs every plain test there, and
# writes BUILD/coverage/summary.txt and BUILD/coverage/index.html.
# The Qt window and the platform layer (real files, processes, the desktop) are left out: the tests drive
# the installer through its fake platform, so those files would only count as uncovered.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-build-cov}" && cd "${1:-build-cov}" && pwd)
jobs=${JOBS:-$(nproc)}

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCVHT_COVERAGE=ON -DCVHT_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
# Counts of earlier runs would add up.
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest -j"$jobs" --timeout 600 --output-on-failure) | grep -E 'tests passed|tests failed|Failed|\*\*\*' || true
# The plug-in writes its counts when the host unloads it: without them the report would be wrong.
if [ -z "$(find "$build/plugin" -name 'cvht_plugin.cpp.gcda' -print -quit)" ]; then
  echo "no counts from the plug-in: it was not unloaded" >&2
  exit 1
fi

mkdir -p "$build/coverage"
# Filters are paths below the checkout, so they survive files moving into sub-folders.
gcovr -r "$here" "$build" -j "$jobs" \
  --filter 'plugin/' --filter 'installer/' \
  --exclude 'installer/(.*/)?(qt|platform)/' \
  --exclude 'installer/(.*/)?(system_platform[^/]*|qt_[^/]*|tavro_installer_app\.[^/]*|installer_view\.(cpp|h)|main\.cpp|[^/]*\.mm)$' \
  --exclude-unreachable-branches --exclude-throw-branches \
  --txt "$build/coverage/summary.txt" --html-details "$build/coverage/index.html" --print-summary \
  | tee "$build/coverage/totals.txt"
echo "report: $build/coverage/index.html, per file: $build/coverage/summary.txt"
