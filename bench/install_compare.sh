#!/usr/bin/env bash
# InstallFiles against a careful Python script doing the same install, for both update shapes.
# Builds nothing: give the install_bench program or its folder (default build/linux-bench/bin).
#   bench/install_compare.sh [build/linux-bench/bin | path/to/install_bench]
# The files live in KOV_INSTALL_BENCH_DIR (default build/install-bench-work), which must be on
# the disk: a tmpfs would hide what the flushes cost.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
target=${1:-build/linux-bench/bin}
[[ -d $target ]] && target=$target/install_bench
work=${KOV_INSTALL_BENCH_DIR:-build/install-bench-work}
mkdir -p "$work"
if [[ $(stat -f -c %T "$work") == tmpfs ]]; then
  echo "$work is on tmpfs; set KOV_INSTALL_BENCH_DIR to a folder on the disk" >&2
  exit 2
fi
for shape in small large; do
  "$target" "$work" "$shape" "$here/install_baseline.py"
done
rm -rf "$work"
