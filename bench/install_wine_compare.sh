#!/usr/bin/env bash
# The Windows build under Wine beside the Linux build, installing the same update shape on the
# same disk, taking turns round after round; prints each install's seconds and phases, the
# best of each and their ratio. Builds nothing: give the two install_run programs' folders.
#   bench/install_wine_compare.sh [linux bin folder] [windows bin folder] [shape] [rounds]
# defaults: build/linux-bench/bin build/windows-bench/bin small 3. The files live in
# KOV_INSTALL_BENCH_DIR (default build/install-bench-work), which must be on the disk.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
linux=${1:-build/linux-bench/bin}/install_run
windows=${2:-build/windows-bench/bin}/install_run.exe
shape=${3:-small}
rounds=${4:-3}
work=$(mkdir -p "${KOV_INSTALL_BENCH_DIR:-build/install-bench-work}" &&
  cd "${KOV_INSTALL_BENCH_DIR:-build/install-bench-work}" && pwd)
# shellcheck source=scripts/wine-env.sh
. "$here/../scripts/wine-env.sh"
wine_prepare "$(dirname "$windows")/.."
trap wine_finish EXIT

best_linux=
best_windows=
better() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

# One timed install: prepared by the Linux build, synced, then installed by the given command.
run() {  # label, command...
  local label=$1 out
  shift
  "$linux" prepare "$work" "$shape"
  sync
  out=$("$@")
  printf '%-8s %s\n' "$label" "$(head -1 <<<"$out")" >&2
  tail -n +2 <<<"$out" >&2
  head -1 <<<"$out"
}

for ((round = 0; round < rounds; ++round)); do
  best_linux=$(better "$(run linux "$linux" install "$work" "$shape")" "$best_linux")
  # Wine shows the root of the Unix file system as drive Z:.
  best_windows=$(better "$(run windows "$WINE" "$windows" install "Z:$work" "$shape" | tr -d '\r')" \
    "$best_windows")
done
rm -rf "$work"
echo "shape $shape, best of $rounds: Linux $best_linux s, Windows under Wine $best_windows s," \
  "ratio $(awk -v w="$best_windows" -v l="$best_linux" 'BEGIN { printf "%.2f", w / l }')"
