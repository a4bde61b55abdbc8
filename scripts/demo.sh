#!/usr/bin/env bash
# The demo: parly-host runs the example scripts against the provider simulator on loopback.
set -eu
build="$1"
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/sim-env.sh"
port="$PARLY_SIM_PORT"
for p in OPENAI CLAUDE GEMINI OPENROUTER GROQ GROK; do export "PARLY_${p}_URL=http://127.0.0.1:$port"; done
printf 'notes from the planning meeting:\n- ship the plug-in\n- write the guide\n' > "$build/demo-notes.txt"
mkdir -p "$build/demo"; cp "$build/demo-notes.txt" "$build/demo/notes.txt"
dir="$(winpath "$build/demo")"
run() {
  local opts=("${@:1:$#-1}") script="${!#}"
  "$root/cmake/wine-run.sh" "$build/parly-host.exe" --var "[Sim]=http://127.0.0.1:$port" --var "[Dir]=$dir" \
    "${opts[@]}" "$(winpath "$script")"
}
echo "### examples/demo.parly"
run "$root/examples/demo.parly"
# Queues the simulator's next replies, one per request of an example.
queue() {
  python3 - "$port" "$@" <<'PY'
import sys, urllib.request
port = sys.argv[1]
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # loopback only, never a proxy
for override in sys.argv[2:]:
    req = urllib.request.Request(f"http://127.0.0.1:{port}/__sim/next", data=override.encode(), method="POST")
    opener.open(req, timeout=5).read()
PY
}
echo; echo "### examples/stream.parly (--clock shows each write as the provider streams it, 400 ms a word)"
queue '{"event_delay_ms":400}'
run --clock "$root/examples/stream.parly" | grep -v 'registerAction\|interfaceAccess\|nbInitPlugIn' 
echo; echo "### examples/stop.parly (--event 1000:PressStop: a Stop button pressed one second into the typing)"
run --event 1000:PressStop "$root/examples/stop.parly"
echo; echo "### examples/media.parly"
run "$root/examples/media.parly"
ls -l "$build/demo/lighthouse.png"
echo; echo "### examples/pictures.parly"
python3 - "$build/demo" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
raw = b"".join(b"\0" + b"\xff\x80\x00" * 8 for _ in range(8))  # an 8x8 orange square
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 8, 8, 8, 2, 0, 0, 0)) + \
      chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")
open(sys.argv[1] + "/photo.png", "wb").write(png)
open(sys.argv[1] + "/report.pdf", "wb").write(b"%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n")
PY
run "$root/examples/pictures.parly"
queue '{"status":307,"redirect":"decoy","body":"{\"error\":{\"message\":\"Moved to the decoy\"}}"}' '{"refusal":"I can not help with that."}' '{"pretty":true}' \
  '{"mode":"drip","drip_ms":400}'
echo; echo "### examples/shapes.parly (replies shaped like real providers' bad days)"
run "$root/examples/shapes.parly"
echo; echo "### examples/history.parly (usage, and a conversation saved and continued with another provider)"
run "$root/examples/history.parly"
head -c 300 "$build/demo/tutor.json"; echo
# Next year: only successors are served; the key comes from the environment, as a built application would keep it.
year() { python3 -c 'import sys, urllib.request as u; u.build_opener(u.ProxyHandler({})).open(u.Request(
  f"http://127.0.0.1:{sys.argv[1]}/__sim/year/{sys.argv[2]}", data=b"", method="POST"), timeout=5).read()' "$port" "$1"; }
year next
echo; echo "### examples/next_year.parly (every model named today retired; ANTHROPIC_API_KEY set, OPENAI_API_KEY not)"
ANTHROPIC_API_KEY=demo-key-from-env OPENAI_API_KEY= run "$root/examples/next_year.parly"
year today
