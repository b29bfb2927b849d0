#!/usr/bin/env bash
# The real Windows images on Wine's kernel, as make demo shows the simulated machine: installs the driver's
# INF and the simulated cable bus in a fresh Wine prefix, plugs a cable, shows the device tree, prints,
# runs the control codes, plugs a second cable and unplugs them (tests/wine/cable_bus/cable_probe.cpp), and
# writes the bus traffic as a usbmon capture (build/host/wine-demo/wine.pcap, for tshark or Wireshark).
# Then the package's life in a Japanese prefix on a virtual display: oslnkset.exe and oslnkun.exe answered
# Yes, Yes, with a PNG screenshot of each dialog and message box (their names are printed).
set -euo pipefail
host=$(realpath -m "${1:-build/host}") windows=$(realpath -m "${2:-build/windows}")
cd "$(dirname "$0")/.."
command -v wine >/dev/null 2>&1 || { echo "demo-wine: wine is not installed (make deps as root installs it)" >&2; exit 2; }
bus=$host/tests/wine/cable_bus
for f in "$windows/driver/oslnk.sys" "$bus/oslnkbus.sys" "$bus/cable_probe.exe" "$host/tool/ostrolink"; do
  [ -f "$f" ] || { echo "demo-wine: $f is not built (run make windows host)" >&2; exit 2; }
done
work=$host/wine-demo
bash tests/wine/run_cable_bus.sh "$windows/driver/oslnk.sys" driver/oslnk.inf "$bus/oslnkbus.sys" \
  tests/wine/cable_bus/oslnkbus.inf "$bus/cable_probe.exe" "$host/tool/ostrolink" "$work"

echo
echo "== The package under Wine, as a Japanese Windows 98 shows it"
shots=$work/screenshots
rm -rf "$shots"
template=$host/tests/wine/work/prefix-template
[ -f "$template/system.reg" ] && export OSLNK_WINE_TEMPLATE=$template
monitor=$windows/port_monitor/reveror.dll
if [ -f "$monitor" ]; then
  bash tests/wine/run_package_life.sh life "$windows/setup/oslnkset.exe" "$windows/driver/oslnk.sys" \
    "$windows/monitor_helper/oslnkin.dll" "$monitor" driver/oslnk.inf "$windows/removal/oslnkun.exe" \
    "$host/tests/wine/port_monitor_probe.exe" "$bus/oslnkbus.sys" tests/wine/cable_bus/oslnkbus.inf "$shots"
else
  # Without the port monitor setup cannot finish: its failure message, then the removal's dialogs.
  echo "note: $monitor is not built: setup is shown failing, the removal on its own"
  bash tests/wine/run_package_life.sh blocked "$windows/setup/oslnkset.exe" "$windows/driver/oslnk.sys" \
    "$windows/monitor_helper/oslnkin.dll" "$monitor" driver/oslnk.inf "$windows/removal/oslnkun.exe" \
    "$host/tests/wine/port_monitor_probe.exe" "$bus/oslnkbus.sys" tests/wine/cable_bus/oslnkbus.inf "$shots"
  bash tests/wine/run_removal.sh yes_yes "$windows/removal/oslnkun.exe" "$shots"
fi
echo
echo "Screenshots (PNG):"
ls -1 "$shots"/*.png
