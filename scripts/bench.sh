#!/usr/bin/env bash
# Builds the optimised benchmarks and prints our figures beside the baselines:
# SHA-256 against OpenSSL, and a whole install against a careful Python script.
# Usage: scripts/bench.sh [sha256|install]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
cmake --preset linux-bench >/dev/null
cmake --build --preset linux-bench -j "$(nproc)"
for what in "${@:-sha256 install}"; do
  for one in $what; do
    echo "=== $one"
    bench/"$one"_compare.sh build/linux-bench/bin
  done
done
