#!/usr/bin/env bash
# Our SHA-256 throughput beside OpenSSL's on this machine, in decimal MB/s of CPU time (user
# plus system, as `openssl speed` and Google Benchmark count it), best of a few runs each.
# Builds nothing: give the sha256_bench program or its folder (default build/linux-bench/bin).
#   bench/sha256_compare.sh [build/linux-bench/bin | path/to/sha256_bench]
# The 1 GiB file lives in ${TMPDIR:-/tmp} unless KOV_SHA256_BENCH_FILE names another place.
set -euo pipefail

target=${1:-build/linux-bench/bin}
[[ -d $target ]] && target=$target/sha256_bench
file=${KOV_SHA256_BENCH_FILE:-${TMPDIR:-/tmp}/kov-sha256-bench-1GiB.bin}
runs=${KOV_SHA256_BENCH_RUNS:-3}
no_sha_ni=':~0x20000000'

# Best of a few rounds. Each round runs every measurement once, so that other load on the
# machine hits ours and OpenSSL's alike.
ours_csv=""
best_speed=0
best_speed_no_sha_ni=0
best_dgst=0
best_dgst_no_sha_ni=0

max() { echo $(($1 > $2 ? $1 : $2)); }

# Thousands of bytes per second from `openssl speed` over 1 MiB blocks, in MB/s.
openssl_speed() {
  openssl speed -evp sha256 -bytes 1048576 -seconds 3 2>/dev/null |
    awk '/^sha256 / { sub("k", "", $2); printf "%.0f", $2 / 1000 }'
}

# `openssl dgst` over the cached file, by its CPU time, in MB/s.
openssl_dgst() {
  local seconds
  seconds=$({ TIMEFORMAT='%U %S'; time openssl dgst -sha256 "$file" >/dev/null; } 2>&1)
  awk -v s="$seconds" -v n="$(stat -c %s "$file")" \
    'BEGIN { split(s, t, " "); printf "%.0f", n / (t[1] + t[2]) / 1e6 }'
}

for ((round = 0; round < runs; ++round)); do
  ours_csv+=$("$target" --file="$file" --benchmark_min_time=3 --benchmark_format=csv 2>/dev/null)
  ours_csv+=$'\n'
  best_speed=$(max "$best_speed" "$(openssl_speed)")
  best_speed_no_sha_ni=$(max "$best_speed_no_sha_ni" "$(OPENSSL_ia32cap=$no_sha_ni openssl_speed)")
  best_dgst=$(max "$best_dgst" "$(openssl_dgst)")
  best_dgst_no_sha_ni=$(max "$best_dgst_no_sha_ni" "$(OPENSSL_ia32cap=$no_sha_ni openssl_dgst)")
done

# Best bytes_per_second of one of our benchmarks over the rounds, in MB/s.
ours_best() {
  awk -F, -v name="\"$1\"" '
    /^name,/ { for (i = 1; i <= NF; ++i) if ($i == "bytes_per_second") col = i; next }
    $1 == name && $col > best { best = $col }
    END { printf "%.0f", best / 1e6 }' <<<"$ours_csv"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r >= g ? "met" : "NOT met") }'; }

row() {  # label, ours, theirs, goal
  local r
  r=$(ratio "$2" "$3")
  printf '%-50s %8s %8s %6s   goal >= %s: %s\n' "$1" "$2" "$3" "$r" "$4" "$(verdict "$r" "$4")"
}

printf '%-50s %8s %8s %6s\n' "MB/s (1 MB = 10^6 bytes)" ours openssl ratio
row "Sha256Hex 1 MiB, SHA-NI vs speed" "$(ours_best Sha256Hex_1MiB/ShaNi)" "$best_speed" 0.90
row "Sha256Hex 1 MiB, portable BMI2 vs speed no SHA-NI" \
  "$(ours_best Sha256Hex_1MiB/PortableBmi2)" "$best_speed_no_sha_ni" 0.75
row "Sha256Hex 1 MiB, portable plain vs speed no SHA-NI" \
  "$(ours_best Sha256Hex_1MiB/Portable)" "$best_speed_no_sha_ni" 0.75
row "Sha256FileHex 1 GiB, SHA-NI vs dgst" \
  "$(ours_best Sha256FileHex_1GiB/ShaNi/iterations:2)" "$best_dgst" 0.90
row "Sha256FileHex 1 GiB, portable BMI2 vs dgst no SHA-NI" \
  "$(ours_best Sha256FileHex_1GiB/PortableBmi2/iterations:2)" "$best_dgst_no_sha_ni" 0.75
