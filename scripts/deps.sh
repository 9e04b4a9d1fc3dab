#!/usr/bin/env bash
# Installs the Debian packages a build needs, only when some are missing.
# Usage: scripts/deps.sh [native|windows|clang|aarch64|test|bench|fuzz]...
set -euo pipefail

native=(g++ cmake ninja-build libgtest-dev libgmock-dev)
windows=(g++-mingw-w64-x86-64-posix googletest wine64)
bench=(libbenchmark-dev openssl python3 coreutils)
fuzz=(clang libclang-rt-14-dev)
clang=(clang)
aarch64=(g++-aarch64-linux-gnu qemu-user)

wanted=()
for group in "${@:-native}"; do
  case $group in
    native) wanted+=("${native[@]}") ;;
    windows) wanted+=("${native[@]}" "${windows[@]}") ;;
    clang) wanted+=("${native[@]}" "${clang[@]}") ;;
    aarch64) wanted+=("${native[@]}" "${aarch64[@]}") ;;
    test) wanted+=("${native[@]}" "${windows[@]}" "${clang[@]}" "${aarch64[@]}" openssl) ;;
    bench) wanted+=("${native[@]}" "${bench[@]}") ;;
    fuzz) wanted+=("${native[@]}" "${fuzz[@]}") ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${missing[@]}"
