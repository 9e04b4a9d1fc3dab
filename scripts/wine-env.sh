# shellcheck shell=bash
# Sourced by the scripts that run Windows programs: Wine with a prefix of the build's own.
export WINE=${WINE:-/usr/lib/wine/wine64}
export WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Builds the prefix once (seconds on first start) and keeps one persistent wineserver
# with Wine's own services running detached from our pipes; every later program then
# starts in a fraction of a second instead of booting Wine again.
wine_prepare() {  # $1: the build folder
  local folder
  folder=$(cd "$1" && pwd) || return 1
  export WINEPREFIX=$folder/wineprefix
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -p
  "$WINE" wineboot --init </dev/null >/dev/null 2>&1 || true
}

wine_finish() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
}
