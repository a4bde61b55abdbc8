#!/usr/bin/env bash
# `make try`: runs one script through parly-host against the provider simulator on a free loopback port,
# every PARLY_..._URL pointing at it, in the build's own quiet Wine prefix. Wine's own messages go to
# BUILD_DIR/try-wine.log, never to the terminal; the exit status is parly-host's.
# Usage: try.sh BUILD_DIR SCRIPT [parly-host options...]
set -u
build="$(cd "${1:?usage: try.sh BUILD_DIR SCRIPT [options...]}" && pwd)"
script="${2:?usage: try.sh BUILD_DIR SCRIPT [options...]}"
shift 2
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ -f "$script" ] || { echo "make try: no script '$script'" >&2; exit 2; }

# No display: a private Xvfb, so the progress window and dialogs still open (and Wine stays silent).
if [ -z "${DISPLAY:-}" ] && [ -z "${PARLY_TRY_XVFB:-}" ]; then
  exec env PARLY_TRY_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$build" "$script" "$@"
fi

case "$(basename "$build")" in
  win64) loader=/usr/lib/wine/wine64 ;;
  *) loader=/usr/lib/wine/wine ;;
esac
# A prefix of its own inside the build, so nothing lands in ~/.wine and a test run is never disturbed; a second
# make try running meanwhile takes the next free one, since each run ends its prefix's wineserver (and programs).
for slot in 0 1 2 3; do
  prefix="$build/wineprefix-try"
  [ "$slot" -eq 0 ] || prefix="$prefix-$slot"
  exec 7>"$prefix.slot"
  flock -n 7 && break
  exec 7>&-
done
{ : >&7; } 2>/dev/null || { prefix="$build/wineprefix-try"; exec 7>"$prefix.slot"; flock 7; }
export WINELOADER="$loader" WINEPREFIX="$prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
log="$build/try-wine.log"
"$root/scripts/wine-prefix.sh" "$loader" "$WINEPREFIX" >"$log" 2>&1 7>&- || { cat "$log" >&2; exit 1; }

. "$root/scripts/sim-env.sh" 7>&-
for p in OPENAI CLAUDE GEMINI OPENROUTER GROQ GROK; do export "PARLY_${p}_URL=http://127.0.0.1:$PARLY_SIM_PORT"; done
"$loader" "$build/parly-host.exe" --var "[Sim]=http://127.0.0.1:$PARLY_SIM_PORT" "$@" "$(winpath "$script")" \
  2>>"$log" </dev/null 7>&-
rc=$?
# The prefix's server goes with the display it was started on; the next run may have another.
wineserver -k >/dev/null 2>&1 7>&-
exit $rc
