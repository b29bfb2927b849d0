#!/usr/bin/env bash
# Runs every libFuzzer target of a build folder for a bounded time.
#   fuzz/run_fuzzers.sh BUILD_DIR [SECONDS] [SEED]
# SEED (default 0: a new one each run) fixes libFuzzer's random choices, so that a run can be repeated.
# Each target starts from its seed corpus (fuzz/corpus/<target>) plus what earlier runs found
# (BUILD_DIR/fuzz/found/<target>). An input that fails is kept as BUILD_DIR/fuzz/artifacts/<target>-crash-*;
# to make it a regression input, copy it into fuzz/corpus/<target>/ (the replay build runs every file there
# on each make test). A summary per target goes to BUILD_DIR/fuzz/summary.txt. Exit status 1 if any failed.
set -u
build=${1:?usage: run_fuzzers.sh BUILD_DIR [SECONDS] [SEED]}
seconds=${2:-20}
seed=${3:-0}
here=$(cd "$(dirname "$0")" && pwd)
out="$build/fuzz"
mkdir -p "$out/found" "$out/artifacts"
summary="$out/summary.txt"
: > "$summary"
# Targets run side by side, FUZZ_JOBS at a time (default: one per core); each is one process on one core, so
# a target gets the same time and inputs as when run alone on an idle machine.
jobs_max=${FUZZ_JOBS:-$(nproc)}
status=0
found_any=0
names=()
run_one() {
  local bin=$1 name=$2
  "$bin" -seed="$seed" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$name-" "$out/found/$name" "$here/corpus/$name" >"$out/$name.log" 2>&1
  echo $? > "$out/$name.rc"
}
for bin in "$out"/fuzz_*; do
  [ -x "$bin" ] && [ -f "$bin" ] || continue
  found_any=1
  name=$(basename "$bin")
  names+=("$name")
  mkdir -p "$out/found/$name"
  rm -f "$out/$name.rc"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n; done
  echo "fuzz: $name for ${seconds}s, seed $seed"
  run_one "$bin" "$name" &
done
wait
for name in "${names[@]}"; do
  log="$out/$name.log"
  rc=$(cat "$out/$name.rc" 2>/dev/null || echo 1)
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*')
  if [ "$rc" -eq 0 ]; then
    echo "$name: ${runs:-?} inputs in ${seconds}s, coverage ${cov:-?} edges, 0 failures" | tee -a "$summary"
  else
    status=1
    echo "$name: FAILED (exit $rc) after ${runs:-?} inputs; see $log and $out/artifacts/" | tee -a "$summary"
    grep -aE "^(==[0-9]+==ERROR|SUMMARY|    #[0-9] )|differs|left|wrote|refused|accepted" "$log" | head -20
  fi
done
if [ $found_any -eq 0 ]; then
  echo "fuzz: no fuzz targets in $out" >&2
  exit 1
fi
exit $status
