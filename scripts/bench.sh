#!/usr/bin/env bash
# Builds the optimised benchmarks and prints our figures beside the baselines:
# SHA-256 against OpenSSL, and a whole install against a careful Python script.
# Usage: scripts/bench.sh [sha256|install]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
cmake --preset linux-bench >/dev/null
cmake --build --preset linux-bench -j "$(nproc)"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(sha256 install)
for target in "${targets[@]}"; do
  echo "=== $target"
  bench/"$target"_compare.sh build/linux-bench/bin
done
