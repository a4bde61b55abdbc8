#!/usr/bin/env bash
# Renders every edit dialog (pre-filled with an example), the about box and the progress
# window under Xvfb into docs/screenshots/<name>.png.  Usage: screenshots.sh BUILD_DIR
set -eu
build="$(cd "${1:?usage: screenshots.sh BUILD_DIR}" && pwd)"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Always a private Xvfb, so the pictures do not depend on the desktop they were taken on.
if [ -z "${PARLY_SHOTS_XVFB:-}" ]; then
  exec env PARLY_SHOTS_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

case "$(basename "$build")" in
  win32) loader=/usr/lib/wine/wine ;;
  *) loader=/usr/lib/wine/wine64 ;;
esac
[ -f "$build/ParlyPlugin.nbp" ] || { echo "no plug-in in $build: build it first" >&2; exit 1; }

cmake --build "$build" --target shot >/dev/null

# A prefix of its own, so a test run in the build's prefix is never disturbed.
export WINELOADER="$loader" WINEPREFIX="$build/wineprefix-shots" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
"$root/scripts/wine-prefix.sh" "$loader" "$WINEPREFIX"
# The caption buttons are glyphs of Marlett; without it in the prefix, Wine draws a bare "r" for the close button.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ ! -f "$fonts/marlett.ttf" ]; then
  marlett="$(ls /usr/share/wine/fonts/marlett.ttf /usr/lib/wine/fonts/marlett.ttf 2>/dev/null | head -n 1)"
  [ -n "$marlett" ] || { echo "no marlett.ttf (Debian's fonts-wine has it)" >&2; exit 1; }
  cp "$marlett" "$fonts/marlett.ttf"
  "$loader" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'Marlett (TrueType)' \
    /d marlett.ttf /f >/dev/null 2>&1 </dev/null
  wineserver -w
fi

tmp="$(mktemp -d)"
trap 'kill "${sim_pid:-}" 2>/dev/null || true; wineserver -k 2>/dev/null || true; rm -rf "$tmp"' EXIT
python3 "$root/tools/simulator/parly_sim.py" --port 0 --port-file "$tmp/port" --quiet >/dev/null 2>&1 </dev/null &
sim_pid=$!
for _ in $(seq 1 200); do [ -s "$tmp/port" ] && break; sleep 0.05; done
port="$(cat "$tmp/port")"
export PARLY_SIM_PORT="$port" PARLY_OPENAI_URL="http://127.0.0.1:$port"
# The progress window needs a request that takes a while.
python3 - "$port" <<'PY'
import sys, urllib.request
req = urllib.request.Request(f"http://127.0.0.1:{sys.argv[1]}/__sim/next", data=b'{"delay_ms": 2500}', method="POST")
urllib.request.build_opener(urllib.request.ProxyHandler({})).open(req).read()
PY

mkdir -p "$tmp/bmp"
"$loader" "$build/shot.exe" "$build/ParlyPlugin.nbp" "Z:$(echo "$tmp/bmp" | tr / '\\')" ${PARLY_SHOT_ONLY:-} 2>/dev/null

out="$root/docs/screenshots"
mkdir -p "$out"
python3 - "$tmp/bmp" "$out" <<'PY'
import os, struct, sys, zlib
src, dst = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(src)):
    data = open(os.path.join(src, name), "rb").read()
    if name.endswith(".txt"):  # the dialog's texts, which the tests compare with the live dialog
        open(os.path.join(dst, name), "wb").write(data)
        continue
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        row = data[offset + (abs(height) - 1 - y if height > 0 else y) * stride:][:width * 3]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::3], row[1::3], row[0::3]
        rows.append(b"\0" + bytes(rgb))
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    target = os.path.join(dst, os.path.splitext(name)[0] + ".png")
    open(target, "wb").write(png)
    print("wrote", os.path.relpath(target))
PY
