#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix of the build's own, quietly.
# Wine ends stdout lines with CRLF; they are turned back into LF so that
# test discovery and scripts read the same text as on Linux.
set -o pipefail
exe=$1
shift
: "${WINEPREFIX:=$(cd "$(dirname "$exe")/.." && pwd)/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"${WINE:-/usr/lib/wine/wine64}" "$exe" "$@" | tr -d '\r'
