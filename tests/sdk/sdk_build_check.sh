#!/usr/bin/env bash
# Builds the plug-in against the SDK-shaped folder next to this script, for a CPU with fused
# multiply-add, and checks the result: only the five entry points exported with C linkage, XPLM left
# to X-Plane, and no fused multiply-add in the plug-in or the airport index.
# Usage: sdk_build_check.sh <source dir> <scratch dir> <C++ compiler>
set -euo pipefail
src=$1 out=$2 cxx=$3
sdk=$(cd "$(dirname "$0")" && pwd)/SDK
case $(uname -m) in
  x86_64) fma=-mfma fused='vfn?m(add|sub)[0-9]*[ps][sd]' ;;
  aarch64 | arm64) fma= fused='(fn?m(add|sub)|fml[as])' ;;
  *) echo "no fused multiply-add check for $(uname -m)"; exit 77 ;;
esac
rm -rf "$out"
cmake -S "$src" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$fma" -DCVHT_XPLM_SDK_DIR="$sdk" \
  -DCVHT_BUILD_TESTS=OFF -DCVHT_BUILD_BENCH=OFF -DCVHT_BUILD_INSTALLER=OFF >"$out.log" 2>&1 ||
  { cat "$out.log"; exit 1; }
cmake --build "$out" -j2 --target TAVRO >>"$out.log" 2>&1 || { cat "$out.log"; exit 1; }
xpl=$out/TAVRO/lin_x64/TAVRO.xpl
status=0

exported=$(nm -D --defined-only "$xpl" | awk '{print $NF}' | sort | tr '\n' ' ')
want='XPluginDisable XPluginEnable XPluginReceiveMessage XPluginStart XPluginStop '
if [ "$exported" != "$want" ]; then
  echo "exported: $exported"
  echo "expected: $want"
  status=1
fi
# Read once: grep -q ends early, and under pipefail nm's broken pipe would read as a miss.
undefined=$(nm -D --undefined-only "$xpl")
for f in XPLMDebugString XPLMFindDataRef XPLMRegisterFlightLoopCallback XPLMCreateCommand XPLMRegisterDataAccessor; do
  grep -qw "$f" <<<"$undefined" || { echo "$f is not left for X-Plane to resolve"; status=1; }
done

for bin in "$xpl" "$out/plugin/apt/libcvht_apt.a"; do
  n=$(objdump -d --no-show-raw-insn "$bin" | grep -cE "^\s+[0-9a-f]+:\s+$fused\b" || true)
  if [ "$n" != 0 ]; then
    echo "$n fused multiply-add instructions in $(basename "$bin"):"
    objdump -d --no-show-raw-insn "$bin" | grep -E "^\s+[0-9a-f]+:\s+$fused\b" | head -5
    status=1
  fi
done
[ $status = 0 ] && echo "SDK build: five C entry points, XPLM from X-Plane, no fused multiply-add"
exit $status
