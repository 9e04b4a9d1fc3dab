#!/usr/bin/env bash
# Builds the optimised benchmarks and prints our figures beside the baselines:
# SHA-256 against OpenSSL, a whole install against a careful Python script, and (install_wine)
# the Windows build's install under Wine beside the Linux build's.
# Usage: scripts/bench.sh [sha256|install|install_wine]...   (default: sha256 install)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
cmake --preset linux-bench >/dev/null
cmake --build --preset linux-bench -j "$(nproc)"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(sha256 install)
for target in "${targets[@]}"; do
  echo "=== $target"
  if [ "$target" = install_wine ]; then
    scripts/deps.sh windows
    cmake --preset windows-bench >/dev/null
    cmake --build --preset windows-bench -j "$(nproc)"
  fi
  bench/"$target"_compare.sh build/linux-bench/bin
done
