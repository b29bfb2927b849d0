#!/usr/bin/env bash
# Runs every benchmark (median of FIGURES_REPETITIONS repetitions, default 3) and writes their figures into
# docs/figures.md and the README's figures table (scripts/figures.py):
#   scripts/figures.sh [build folder, default build/host]
# The benchmarks' JSON stays in <build folder>/figures/ for a closer look.
set -euo pipefail
build=$(realpath -m "${1:-build/host}")
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$build/figures
rm -rf "$out"
load=$(cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo 0)
if awk -v l="$load" -v n="$(nproc)" 'BEGIN { exit !(l > n / 2) }'; then
  echo "figures: load average $load on $(nproc) cores: the host times will read high (the virtual ones are exact)" >&2
fi
OSLNK_BENCH_OUT=$out "$repo/scripts/bench.sh" "$build" --benchmark_repetitions="${FIGURES_REPETITIONS:-3}" \
  --benchmark_report_aggregates_only=true
python3 "$repo/scripts/figures.py" "$out" "$repo" "$build"
echo "figures: wrote docs/figures.md and the README's figures table (git diff shows what changed)"
