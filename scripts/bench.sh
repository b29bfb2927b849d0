#!/usr/bin/env bash
# Runs every benchmark of the host build.
set -euo pipefail
build=${1:-build/host}
for b in "$build"/bench/bench_*; do [ -x "$b" ] && "$b"; done
