#!/usr/bin/env bash
# The demo: parly-host runs the example scripts against the provider simulator on loopback.
set -eu
build="$1"
root="$(cd "$(dirname "$0")/.." && pwd)"
tmp="$(mktemp -d)"
python3 "$root/tools/simulator/parly_sim.py" --port 0 --port-file "$tmp/port" --quiet >/dev/null 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 1 200); do [ -s "$tmp/port" ] && break; sleep 0.05; done
port="$(cat "$tmp/port")"
export PARLY_SIM_PORT="$port"
for p in OPENAI CLAUDE GEMINI OPENROUTER GROQ GROK; do export "PARLY_${p}_URL=http://127.0.0.1:$port"; done
printf 'notes from the planning meeting:\n- ship the plug-in\n- write the guide\n' > "$build/demo-notes.txt"
mkdir -p "$build/demo"; cp "$build/demo-notes.txt" "$build/demo/notes.txt"
winpath() { echo "Z:$(realpath "$1" | sed 's#/#\\#g')"; }
dir="$(winpath "$build/demo")"
run() {
  local opts=("${@:1:$#-1}") script="${!#}"
  "$root/cmake/wine-run.sh" "$build/parly-host.exe" --var "[Sim]=http://127.0.0.1:$port" --var "[Dir]=$dir" \
    "${opts[@]}" "$(winpath "$script")"
}
echo "### examples/demo.parly"
run "$root/examples/demo.parly"
echo; echo "### examples/stream.parly (--trace shows each write of the typing effect)"
run --trace "$root/examples/stream.parly" | grep -v 'registerAction'
echo; echo "### examples/media.parly"
run "$root/examples/media.parly"
ls -l "$build/demo/lighthouse.png"
