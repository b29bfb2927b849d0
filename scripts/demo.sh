#!/usr/bin/env bash
# Runs the main job on a fresh simulated machine.
set -euo pipefail
build=${1:-build/host}
exec "$build/tool/ostrolink" --demo
