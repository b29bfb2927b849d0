#!/usr/bin/env bash
# Runs every benchmark of the host build:
#   scripts/bench.sh [build folder, default build/host] [Google Benchmark options...]
# With OSLNK_BENCH_OUT=<folder> each benchmark also writes its results there as <name>.json.
# Exits non-zero when there is no benchmark to run or one of them failed (the others still run).
set -euo pipefail
build=${1:-build/host}
[ $# -gt 0 ] && shift
shopt -s nullglob
benches=()
for b in "$build"/bench/bench_*; do [ -x "$b" ] && [ -f "$b" ] && benches+=("$b"); done
if [ ${#benches[@]} -eq 0 ]; then
  echo "bench: no benchmarks in $build/bench (build the host target first)" >&2
  exit 1
fi
out=${OSLNK_BENCH_OUT:-}
[ -n "$out" ] && mkdir -p "$out"
status=0
for b in "${benches[@]}"; do
  name=$(basename "$b")
  echo "== $name"
  extra=()
  [ -n "$out" ] && extra=(--benchmark_out="$out/$name.json" --benchmark_out_format=json)
  if ! "$b" "${extra[@]}" "$@"; then
    echo "bench: $name failed" >&2
    status=1
  fi
done
exit $status
