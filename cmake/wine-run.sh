#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest (CMAKE_CROSSCOMPILING_EMULATOR).
# scripts/test starts the session (prefix, persistent wineserver, Xvfb); run on
# its own, this falls back to the build tree's prefix and Wine's own server.
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/../build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
loader=wine
[ -x /usr/lib/wine/wine64 ] && loader=/usr/lib/wine/wine64

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  "$loader" "$@" >"$out" 2>"$err"
  rc=$?
  # A program that ends at once with an error and without a word never ran:
  # Wine (under load, or under 32-bit emulation) occasionally fails to start a
  # process. Start it once more; a program that ran is never run twice.
  if [ "$rc" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ] && [ "$attempt" -eq 1 ]; then
    echo "wine-run: $(basename "$1") did not start (status $rc); starting it again" >&2
    continue
  fi
  break
done
cat "$out"
cat "$err" >&2
# Wine passes the low byte of the Windows exit code on; an unhandled exception
# (0xC00000xx) or an abort shows up as an odd status, so name it.
case $rc in
  0|1) ;;
  *) echo "wine-run: $(basename "$1") ended with status $rc (crash or abnormal exit)" >&2 ;;
esac
exit $rc
