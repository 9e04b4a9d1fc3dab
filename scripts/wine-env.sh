# Sourced by the scripts that run Windows programs: Wine with a prefix of the build's own.
# Wine builds its prefix on first start (seconds); doing it once up front keeps
# that time out of test discovery and the first test.
export WINE=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_prepare() {  # $1: the build folder
  export WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
  "$WINE" wineboot --init >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver64 -w || true
}
