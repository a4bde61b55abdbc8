#!/usr/bin/env bash
# Runs one fuzz target for a few seconds from a copy of its kept corpus.
set -eu
bin="$1"; corpus="$2"; seconds="$3"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
[ -d "$corpus" ] && cp -r "$corpus/." "$work/" 2>/dev/null || true
"$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 -artifact_prefix="$work.artifact-" "$work" 2>"$work.log" || { tail -40 "$work.log"; rm -f "$work.log"; exit 1; }
rm -f "$work.log"
echo "fuzz smoke $(basename "$bin"): ${seconds}s clean"
