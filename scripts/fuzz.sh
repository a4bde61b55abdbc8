#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each, growing the kept corpus under tests/fuzz/corpus/.
set -eu
build="$1"; seconds="${2:-600}"
root="$(cd "$(dirname "$0")/.." && pwd)"
log="$root/tests/fuzz/runs.log"
for bin in "$build"/fuzz_*; do
  [ -x "$bin" ] || continue
  name="$(basename "$bin")"
  corpus="$root/tests/fuzz/corpus/$name"
  mkdir -p "$corpus"
  before=$(ls "$corpus" | wc -l)
  echo "== $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/$name-" "$corpus" 2>"$build/$name.log" || {
    echo "$name found a crash; see $build/$name.log"; tail -30 "$build/$name.log"; exit 1; }
  # Keep the corpus small: merge into a minimal set.
  tmp="$(mktemp -d)"; "$bin" -merge=1 "$tmp" "$corpus" >/dev/null 2>&1 && rm -rf "$corpus" && mv "$tmp" "$corpus"
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$name.log" | grep -o '[0-9]*$' || echo '?')
  echo "$(date -u +%Y-%m-%dT%H:%MZ) $name ${seconds}s runs=$runs corpus=$before->$(ls "$corpus" | wc -l) crashes=0" | tee -a "$log"
done
