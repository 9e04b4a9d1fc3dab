#!/usr/bin/env bash
# The main job: builds kov-updater for Linux and for Windows and runs a complete sample update
# with each build (natively, and under Wine). The demo launcher lays out version 1.0.0 of a game
# installation and a staged update to 2.0.0, writes the update job, starts kov-updater and exits;
# the helper waits for it, installs and verifies the update and restarts the new launcher, which
# reports its version. On Linux the demo launcher then also updates as one AppImage file does,
# without the helper: version 1.0.0 as an AppImage stand-in checks the downloaded 2.0.0 against
# its published digest, replaces its own file and starts it. Prints each updater.log and the
# results; exits non-zero if anything failed.
# Usage: scripts/sample-update.sh [linux|windows]...   (default: both)
# KOV_BUILD_ROOT (default build) holds the build folders, one per preset.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows
. scripts/wine-env.sh

build_root=${KOV_BUILD_ROOT:-build}
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)
timeout_seconds=60

build() {  # $1: preset, $2: build folder
  cmake --preset "$1" -B "$2" >/dev/null
  cmake --build "$2" -j "$(nproc)" --target kov-updater demo_launcher
}

# shellcheck disable=SC2317  # called through await
outcome_written() {  # $1: scratch folder
  [ -s "$1/result.txt" ] && grep -q '^exit code: ' "$1/update/updater.log" 2>/dev/null
}

# The helper and the restarted launcher run on their own: the outcome arrives through files.
await() {  # the test to wait for
  local deadline=$((SECONDS + timeout_seconds))
  until "$@"; do
    if [ $SECONDS -ge $deadline ]; then
      echo "no outcome after $timeout_seconds seconds" >&2
      return 1
    fi
    sleep 0.2
  done
}

check() {  # $1: what, then the test
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# shellcheck disable=SC2317  # called through check
same_text() { [ "$(tr -d '\r' <"$1")" = "$2" ]; }

# What the player must find after the update, and what must be gone.
verify() {  # $1: scratch folder
  local s=$1 game=$1/game-launcher
  failures=0
  check "helper exit code 0" same_text <(tail -n 1 "$s/update/updater.log") "exit code: 0"
  check "launcher 2.0.0 restarted with its arguments" \
    same_text "$s/result.txt" "demo launcher 2.0.0 started with: [after the update]"
  check "installed version 2.0.0" same_text "$game/version.txt" "2.0.0"
  check "replaced file" same_text "$game/data/readme.txt" "Welcome to version 2.0.0."
  check "new files in new folders" test -f "$game/data/levels/level2.txt" -a -f "$game/data/music/theme.txt"
  check "untouched file kept" same_text "$game/data/credits.txt" "Made by the demo team."
  check "player's save kept" same_text "$game/saves/slot1.sav" "player progress: level 7"
  check "job file removed" test ! -e "$s/update/job.txt"
  check "staging and backup folders removed" test ! -e "$s/staged-update" -a ! -e "$s/backup"
  [ $failures -eq 0 ]
}

report() {  # $1: title, $2: scratch folder, $3: outcome of the run
  echo "--- $1: updater.log"
  tr -d '\r' 2>/dev/null <"$2/update/updater.log" || echo "(no log)"
  echo "--- $1: result"
  tr -d '\r' 2>/dev/null <"$2/result.txt" || echo "(no result)"
  [ "$3" -eq 0 ] && verify "$2"
}

run_linux() {
  local dir=$build_root/linux scratch
  build linux "$dir" || return 1
  scratch=$(realpath -m "$dir/sample-update")
  rm -rf "$scratch"
  echo "=== linux: sample update in $scratch"
  local outcome=0
  "$dir/bin/demo_launcher" setup "$scratch" && await outcome_written "$scratch" || outcome=1
  local result=0
  report linux "$scratch" $outcome || result=1
  run_linux_appimage "$dir" || result=1
  return $result
}

# What the player must find after the AppImage updated itself.
verify_appimage() {  # $1: scratch folder
  local s=$1
  failures=0
  check "AppImage 2.0.0 started with its arguments" \
    same_text "$s/result.txt" "demo launcher 2.0.0 started with: [after the update]"
  check "AppImage file replaced by the download" cmp -s "$s/Demo.AppImage" "$s/download/Demo.AppImage"
  check "AppImage still runnable" test -x "$s/Demo.AppImage"
  check "no temporary or backup name left" test -z "$(find "$s" -name '.kov-update-*')"
  [ $failures -eq 0 ]
}

run_linux_appimage() {  # $1: build folder
  local scratch appimage outcome=0
  scratch=$(realpath -m "$1/sample-appimage")
  appimage=$scratch/Demo.AppImage
  rm -rf "$scratch"
  echo "=== linux: AppImage self-update in $scratch"
  # APPIMAGE is what an AppImage's runtime sets for the program it starts.
  "$1/bin/demo_launcher" appimage-setup "$scratch" &&
    APPIMAGE=$appimage "$appimage" appimage-update "$scratch" &&
    await test -s "$scratch/result.txt" || outcome=1
  echo "--- linux AppImage: result"
  cat "$scratch/result.txt" 2>/dev/null || echo "(no result)"
  [ $outcome -eq 0 ] && verify_appimage "$scratch"
}

run_windows() {
  local dir=$build_root/windows scratch
  build windows "$dir" || return 1
  scratch=$(realpath -m "$dir/sample-update")
  rm -rf "$scratch"
  echo "=== windows (Wine): sample update in $scratch"
  wine_prepare "$dir"
  local outcome=0
  # Wine shows the Linux root as drive Z:.
  "$WINE" "$dir/bin/demo_launcher.exe" setup "Z:${scratch//\//\\}" | tr -d '\r' &&
    await outcome_written "$scratch" || outcome=1
  wine_finish
  report windows "$scratch" $outcome
}

status=0
for platform in "${platforms[@]}"; do
  case $platform in
    linux) run_linux || status=1 ;;
    windows) run_windows || status=1 ;;
    *) echo "sample-update.sh: unknown platform $platform" >&2; exit 2 ;;
  esac
done
if [ $status -eq 0 ]; then echo "=== sample update: all good"; else echo "=== sample update: FAILED"; fi
exit $status
