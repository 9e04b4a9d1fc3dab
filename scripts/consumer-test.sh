#!/usr/bin/env bash
# Builds the consumer project (examples/consumer) against this project in each of the three ways
# a launcher team takes it in (add_subdirectory, FetchContent from a source archive, and
# find_package after cmake --install), and runs each build's demo launcher through a whole update:
# natively, and for Windows with MinGW-w64 under Wine, where the launcher must need no DLL of
# its own. The package route installs the preset builds, so build those first (test-all.sh does).
# Usage: scripts/consumer-test.sh [linux|windows]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/wine-env.sh

out=$root/build/consumer
routes=(subdirectory fetchcontent package)
version=$(sed -n 's/^project(kov_update VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
timeout_seconds=60

# The working tree as a release archive would hold it.
make_archive() {
  mkdir -p "$out"
  tar -C "$root" --exclude=./build --exclude=./.git --exclude=./fuzz/findings \
    -czf "$out/kov-updater-src.tar.gz" .
}

configure_route() {  # $1: platform, $2: route, $3: build folder
  local args=(-G Ninja -S examples/consumer -B "$3" "-DKOV_CONSUMER_ROUTE=$2")
  [ "$1" != windows ] || args+=("-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64-x86_64.cmake")
  case $2 in
    subdirectory) args+=("-DKOV_UPDATE_SOURCE=$root") ;;
    fetchcontent) args+=("-DKOV_UPDATE_SOURCE=$out/kov-updater-src.tar.gz") ;;
    package) args+=("-DCMAKE_PREFIX_PATH=$out/$1/prefix") ;;
  esac
  rm -rf "$3"
  cmake "${args[@]}" >/dev/null
}

await_outcome() {  # $1: scratch folder
  local deadline=$((SECONDS + timeout_seconds))
  until [ -s "$1/result.txt" ] && grep -q '^exit code: ' "$1/update/updater.log" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || { echo "no outcome after $timeout_seconds seconds" >&2; return 1; }
    sleep 0.2
  done
}

updated() {  # $1: scratch folder
  [ "$(tail -n 1 "$1/update/updater.log" | tr -d '\r')" = "exit code: 0" ] &&
    [ "$(tr -d '\r' <"$1/result.txt")" = "demo launcher 2.0.0 started with: [after the update]" ]
}

# Only system DLLs: nothing of the compiler's runtime may be needed beside the program.
only_system_dlls() {  # $1: program
  local dlls
  dlls=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p')
  if grep -qviE '^(kernel32|user32|shell32|advapi32|msvcrt|ole32|ws2_32|api-ms-win-.*)\.dll$' <<<"$dlls"; then
    echo "$1 imports: $dlls" >&2
    return 1
  fi
}

run_program() {  # $1: platform, $2: program without extension, then its words
  local platform=$1 program=$2
  shift 2
  if [ "$platform" = windows ]; then "$WINE" "$program.exe" "$@" | tr -d '\r'; else "$program" "$@"; fi
}

platform_path() {  # $1: platform, $2: absolute path; Wine shows the Linux root as drive Z:
  if [ "$1" = windows ]; then printf 'Z:%s' "${2//\//\\}"; else printf '%s' "$2"; fi
}

run_route() {  # $1: platform, $2: route
  local dir=$out/$1/$2 scratch status=0
  echo "=== consumer, $1, $2"
  configure_route "$1" "$2" "$dir"
  cmake --build "$dir" -j 2 >/dev/null
  scratch=$dir/sample-update
  rm -rf "$scratch"
  [ "$1" != windows ] || only_system_dlls "$dir/bin/demo_launcher.exe" || status=1
  run_program "$1" "$dir/bin/demo_launcher" setup "$(platform_path "$1" "$scratch")" &&
    await_outcome "$scratch" && updated "$scratch" || status=1
  [ "$(run_program "$1" "$dir/bin/kov_version" | tr -d '\r')" = "kov_update $version" ] || status=1
  if [ $status -eq 0 ]; then
    echo "ok: $1 $2: $(tr -d '\r' <"$scratch/result.txt")"
  else
    echo "FAILED: $1 $2"
    tr -d '\r' <"$scratch/update/updater.log" 2>/dev/null || true
  fi
  return $status
}

run_platform() {  # $1: linux or windows, whose preset build the package route installs
  cmake --install "build/$1" --prefix "$out/$1/prefix" >/dev/null
  [ "$1" != windows ] || wine_prepare "$out/windows"
  local status=0 route
  for route in "${routes[@]}"; do run_route "$1" "$route" || status=1; done
  [ "$1" != windows ] || wine_finish
  return $status
}

platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)
make_archive
status=0
for platform in "${platforms[@]}"; do
  case $platform in
    linux | windows) run_platform "$platform" || status=1 ;;
    *) echo "consumer-test.sh: unknown platform $platform" >&2; exit 2 ;;
  esac
done
exit $status
