#!/usr/bin/env bash
# Builds the clang fuzz build and runs each fuzz target for a bounded time; fails on any finding.
# FUZZ_SECONDS (default 60) per target; FUZZ_BUILD (default build-fuzz) is the build folder.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}

for tool in clang++-14 clang-14; do
  command -v "$tool" >/dev/null || { echo "run-fuzz: $tool missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

if ! cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 >"$build.configure.log" 2>&1 \
   || ! cmake --build "$build" -j"$jobs" >"$build.build.log" 2>&1; then
  echo "run-fuzz: the fuzz build failed:" >&2
  cat "$build.configure.log" "$build.build.log" 2>/dev/null | tail -40 >&2
  exit 1
fi
rm -f "$build.configure.log" "$build.build.log"

# The seed corpus stays as committed; what the run learns goes to a scratch folder that seeds the next run.
work="$build/runs"
mkdir -p "$work"
failed=0
for target in datagram apt query; do
  learned="$work/$target-corpus"
  artifacts="$work/$target-findings"
  rm -rf "$artifacts"
  mkdir -p "$learned" "$artifacts"
  log="$work/$target.log"
  flags=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$artifacts/")
  runner=()
  case $target in
    # The host keeps growing state across inputs by design; leaks are looked for once, at exit.
    datagram|query) runner=("$root/tests/netns-run.sh"); flags+=(-detect_leaks=0) ;;
  esac
  AVAHI_COMPAT_NOWARN=1 "${runner[@]}" "$build/fuzz_$target" "${flags[@]}" "$learned" "$root/fuzz/corpus/$target" \
    >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(find "$artifacts" -type f | wc -l)
  if [ $rc -eq 0 ] && [ "$found" -eq 0 ] && [ -n "$execs" ]; then
    result=ok
  else
    result="FAILED (exit $rc, $found finding(s) in $artifacts, log $log)"
    failed=1
  fi
  printf 'fuzz %-9s %ss  %s executions (%s/s)  %s\n' "$target" "$seconds" "${execs:-?}" "${rate:-?}" "$result"
  if [ "$result" != ok ]; then
    grep -E "^fuzz_$target:|ERROR|SUMMARY|runtime error" "$log" | head -10 | sed 's/^/  /'
  fi
done
exit $failed
