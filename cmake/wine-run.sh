#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix of the build's own, quietly.
# Output goes through a file so that Wine's background processes, which inherit the
# program's handles and may outlive it, never hold the caller's pipes open. Wine ends
# lines with CRLF; they are turned back into LF so test discovery reads what Linux prints.
set -euo pipefail
exe=$1
shift
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$(cd "$(dirname "$exe")/.." && pwd)/wineprefix
fi
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
out=$(mktemp)
rc=0
"${WINE:-/usr/lib/wine/wine64}" "$exe" "$@" >"$out" 2>&1 </dev/null || rc=$?
tr -d '\r' <"$out"
rm -f "$out"
exit $rc
