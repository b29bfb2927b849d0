#!/usr/bin/env bash
# Runs the main job on a fresh simulated machine: install, plug a cable with a printer, print a document, read
# the cable's registers, unplug, remove the product, reboot. Exits non-zero when a step failed.
set -euo pipefail
build=${1:-build/host}
tool="$build/tool/ostrolink"
if [ ! -x "$tool" ]; then
  echo "demo: $tool is not built (run make host)" >&2
  exit 2
fi
exec "$tool" --demo
