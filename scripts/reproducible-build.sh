#!/usr/bin/env bash
# Builds kov-updater.exe of the windows preset twice from scratch, in two different folders, and
# checks that both are byte-identical (no link time stamp, no build path in the program).
# Usage: scripts/reproducible-build.sh
set -euo pipefail
cd "$(dirname "$0")/.."

builds=(build/reproducible-1 build/reproducible-2)
for dir in "${builds[@]}"; do
  rm -rf "$dir"
  cmake --preset windows -B "$dir" >/dev/null
  cmake --build "$dir" -j 2 --target kov-updater >/dev/null
done
first=${builds[0]}/bin/kov-updater.exe
second=${builds[1]}/bin/kov-updater.exe
if cmp "$first" "$second"; then
  echo "reproducible: $(sha256sum <"$first" | cut -d' ' -f1) kov-updater.exe, $(stat -c %s "$first") bytes," \
    "symbols $(stat -c %s "$first.debug") bytes"
  rm -rf "${builds[@]}"
else
  echo "NOT reproducible: $first and $second differ" >&2
  exit 1
fi
