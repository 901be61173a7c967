#!/usr/bin/env bash
# Makes the release archive as `make package` does, unpacks it, and checks that it holds the pilot's
# README and exactly the slices this build made, byte for byte.
# Usage: package_test.sh BUILD SLICE...
set -euo pipefail
build=$1
shift
out=$(mktemp -d /tmp/cvht-package.XXXXXX)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
expected="README.txt"
for slice in "$@"; do expected+=$'\n'"TAVRO/$slice/TAVRO.xpl"; done
actual=$(unzip -Z1 "$out/TAVRO.zip" | grep -v '/$' | sort)
if [ "$actual" != "$(echo "$expected" | sort)" ]; then
  printf 'archive holds:\n%s\nexpected:\n%s\n' "$actual" "$expected"
  exit 1
fi
unzip -q "$out/TAVRO.zip" -d "$out/unpacked"
for slice in "$@"; do cmp "$build/TAVRO/$slice/TAVRO.xpl" "$out/unpacked/TAVRO/$slice/TAVRO.xpl"; done
for text in "Resources/plugins/TAVRO" "UDP port 49707" "Bonjour" "Log.txt" "Network and trust"; do
  grep -q "$text" "$out/unpacked/README.txt" || { echo "README.txt lacks \"$text\""; exit 1; }
done
echo "TAVRO.zip: README.txt and $* as built"
