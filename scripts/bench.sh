#!/usr/bin/env bash
# Runs the benchmarks in one process and rewrites docs/performance.md with the machine, command and figures.
set -eu
build="$1"
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mktemp)"
status=0
PARLY_BUILD_DIR="$(cd "$build" && pwd)" "$root/cmake/wine-run.sh" "$build/bench_win.exe" --markdown | tee "$out" || status=$?
cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
{
  echo "# Performance"
  echo
  echo "The network dominates every request; these figures show that the plug-in's own work stays"
  echo "small beside it and grows linearly. Each ratio is measured side by side in one run."
  echo
  echo "- Command: \`make bench\` (runs \`bench/bench_win.cpp\` under Wine against the provider simulator)"
  echo "- Machine: $cpu, $(nproc) cores, $(free -g | awk '/Mem:/{print $2}') GB; $(wine --version 2>/dev/null || /usr/lib/wine/wine64 --version); build $(basename "$build")"
  echo "- Date: $(date -u +%Y-%m-%d)"
  echo
  sed -n '/^| measure/,$p' "$out"
  echo
  cat "$root/docs/performance-notes.md"
} > "$root/docs/performance.md"
rm -f "$out"
exit $status
