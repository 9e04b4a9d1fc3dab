#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs one of them.
# Usage: scripts/fuzz.sh [seconds] [target]   (default: 300 normalize_relative_path_fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh fuzz
seconds=${1:-300}
target=${2:-normalize_relative_path_fuzz}
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j "$(nproc)" --target "$target"
corpus=fuzz/corpus/${target%_fuzz}
work=build/linux-fuzz/corpus-$target
mkdir -p "$work" fuzz/findings
# New inputs go to a scratch corpus; the committed seeds stay small.
build/linux-fuzz/bin/"$target" -max_total_time="$seconds" -artifact_prefix=fuzz/findings/ \
  "$work" "$corpus"
