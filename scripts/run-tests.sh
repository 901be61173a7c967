#!/usr/bin/env bash
# Runs the whole suite: every test of the plain build, every test again under AddressSanitizer with
# UndefinedBehaviorSanitizer, every test but the installer's under ThreadSanitizer, and each fuzz
# target for a bounded time. Ends with one line "total: N passed, N failed".
# Usage: run-tests.sh BUILD. CVHT_TEST_PARTS picks the parts (default "plain asan tsan fuzz").
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)
parts=${CVHT_TEST_PARTS:-plain asan tsan fuzz}
jobs=$(nproc)
passed=0
failed=0
summary=()

# Runs ctest in a build folder and adds its counts to the totals.
suite() {
  local name=$1 dir=$2
  shift 2
  echo "== $name: ctest in $dir"
  local start=$SECONDS
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600 "$@") 2>&1 | tee "$dir/ctest-$name.log" | grep -v -E '^ +Start +[0-9]+:'
  local line p f t
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$dir/ctest-$name.log" | tail -1)
  if [ -z "$line" ]; then
    echo "== $name: ctest did not finish" >&2
    failed=$((failed + 1))
    summary+=("$name: did not finish")
    return
  fi
  f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  t=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  p=$((t - f))
  passed=$((passed + p))
  failed=$((failed + f))
  summary+=("$name: $p passed, $f failed ($((SECONDS - start)) s)")
  # Which installer fault cases ran here, and why any was skipped.
  grep -h '^fault case' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null | sort -u | sed "s/^/   [$name] /"
}

build_variant() {
  local name=$1 dir=$2
  shift 2
  echo "== $name: building in $dir"
  local start=$SECONDS
  if ! cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1; then
    tail -30 "$dir.configure.log"
    return 1
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    grep -E 'error|Error' "$dir.build.log" | head -30
    return 1
  fi
  rm -f "$dir.configure.log" "$dir.build.log"
  echo "== $name: built in $((SECONDS - start)) s"
}

for part in $parts; do
  case $part in
    plain)
      suite plain "$build"
      ;;
    asan)
      # Every test once more with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
      # (float-cast-overflow included); the sanitized host loads the sanitized plug-in.
      if build_variant asan "$build-asan" -DCVHT_SANITIZE=address -DCVHT_BUILD_BENCH=OFF; then
        ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          suite asan "$build-asan"
      else
        failed=$((failed + 1))
        summary+=("asan: build failed")
      fi
      ;;
    tsan)
      # ThreadSanitizer over every test of the plug-in, its tools and the corpus replays (all of them
      # start the airport scan thread somewhere: each start, stop while scanning, frames that read what
      # the scan published). The installer is left out: Qt is not built for ThreadSanitizer.
      if build_variant tsan "$build-tsan" -DCVHT_SANITIZE=thread -DCVHT_BUILD_BENCH=OFF -DCVHT_BUILD_INSTALLER=OFF; then
        TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tests/sanitizer/tsan.supp \
          suite tsan "$build-tsan"
      else
        failed=$((failed + 1))
        summary+=("tsan: build failed")
      fi
      ;;
    fuzz)
      echo "== fuzz: each target for ${FUZZ_SECONDS:-60} s"
      start=$SECONDS
      if FUZZ_BUILD="$build-fuzz" bash "$here/scripts/run-fuzz.sh"; then
        passed=$((passed + 1))
        summary+=("fuzz: no finding ($((SECONDS - start)) s)")
      else
        failed=$((failed + 1))
        summary+=("fuzz: FINDINGS or failure ($((SECONDS - start)) s)")
      fi
      ;;
    *)
      echo "unknown test part: $part" >&2
      exit 2
      ;;
  esac
done

echo "== summary"
for s in "${summary[@]}"; do echo "   $s"; done
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
