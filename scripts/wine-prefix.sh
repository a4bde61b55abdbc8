#!/usr/bin/env bash
# Creates a quiet Wine prefix once (under a lock): no Mono/Gecko, no window manager delays.
set -eu
loader="$1"; prefix="$2"
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.parly-ready" ]; then
  rm -rf "$prefix"
  export WINEPREFIX="$prefix" WINELOADER="$loader" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  case "$loader" in *wine64) export WINEARCH=win64 ;; *) export WINEARCH=win32 ;; esac
  "$loader" wineboot -i >/dev/null 2>&1 </dev/null
  # Unmanaged windows close at once without a window manager under Xvfb.
  "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
  "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 </dev/null
  wineserver -w
  touch "$prefix/.parly-ready"
fi
