#!/usr/bin/env bash
# The real Windows images on Wine's kernel, as make demo shows the simulated machine: installs the driver's
# INF and the simulated cable bus in a fresh Wine prefix, plugs a cable, shows the device tree, prints,
# runs the control codes, plugs a second cable and unplugs them (tests/wine/cable_bus/cable_probe.cpp), and
# writes the bus traffic as a usbmon capture (build/host/wine-demo/wine.pcap, for tshark or Wireshark).
set -euo pipefail
host=$(realpath -m "${1:-build/host}") windows=$(realpath -m "${2:-build/windows}")
cd "$(dirname "$0")/.."
command -v wine >/dev/null 2>&1 || { echo "demo-wine: wine is not installed (make deps as root installs it)" >&2; exit 2; }
bus=$host/tests/wine/cable_bus
for f in "$windows/driver/oslnk.sys" "$bus/oslnkbus.sys" "$bus/cable_probe.exe" "$host/tool/ostrolink"; do
  [ -f "$f" ] || { echo "demo-wine: $f is not built (run make windows host)" >&2; exit 2; }
done
work=$host/wine-demo
exec bash tests/wine/run_cable_bus.sh "$windows/driver/oslnk.sys" driver/oslnk.inf "$bus/oslnkbus.sys" \
  tests/wine/cable_bus/oslnkbus.inf "$bus/cable_probe.exe" "$host/tool/ostrolink" "$work"
