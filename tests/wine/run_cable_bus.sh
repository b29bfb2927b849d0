#!/usr/bin/env bash
# The real oslnk.sys on Wine's kernel over the simulated cable bus: installs both drivers in a fresh prefix
# and runs cable_probe.exe, which plugs cables, prints and checks (see cable_bus/cable_probe.cpp). The host
# target's session tool records the same printer's device-ID exchange first, for the probe to compare.
# Usage: run_cable_bus.sh OSLNK.SYS OSLNK.INF OSLNKBUS.SYS OSLNKBUS.INF CABLE_PROBE.EXE OSTROLINK WORKDIR
. "$(dirname "$0")/wine_common.sh"
driver=$1 driver_inf=$2 bus=$3 bus_inf=$4 probe=$5 ostrolink=$6 work=$7
bus_runtime=$(dirname "$bus")/oslnkbus_sim.dll
need_tool wine
# Skipped only without Wine: the images are built by make test, so a missing one is a failure.
for f in "$driver" "$driver_inf" "$bus" "$bus_inf" "$bus_runtime" "$probe" "$ostrolink"; do
  [ -f "$f" ] || fail "$f has not been built"
done
# Manufacturer and model longer than 20 characters: the printer identifier is cut, its check value is not.
printer_id='MANUFACTURER:Example Works;CMD:PCL;MODEL:Photo Writer 9000;CLS:PRINTER;'

mkdir -p "$work"
# The host target: the same printer, its device ID asked for between two soft resets.
printf 'plug --device-id "%s"\nioctl KVUSB1 soft-reset\nioctl KVUSB1 get-device-id\nioctl KVUSB1 soft-reset\n' \
  "$printer_id" >"$work/host.session"
"$ostrolink" --pcap "$work/host.pcap" "$work/host.session" >"$work/host.log" 2>&1 ||
  { cat "$work/host.log"; fail "the host target's session failed"; }
new_prefix "$work/prefix"
# Installation media: each INF beside its image, as setup copies them from there.
media=$work/media
rm -rf "$media" && mkdir -p "$media/driver" "$media/bus"
cp "$driver" "$driver_inf" "$media/driver/" && cp "$bus" "$bus_runtime" "$bus_inf" "$media/bus/" || fail "cannot stage the images"
# Wine difference: setup finds the files of an OEM INF beside its original copy for the first device only;
# for the next device it looks beside the copy in %windir%\inf, and its default queue callback asks for
# the missing file again and again, forever. Windows keeps the source path that SPOST_PATH recorded.
cp "$driver" "$WINEPREFIX/drive_c/windows/inf/" || fail "cannot stage the driver beside the INF folder"
# Services (the drivers' device hosts) get more time to start on a loaded machine.
winecmd reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 60000 /f >/dev/null ||
  fail "cannot set the service start time-out"
timeout 30 wineserver -w

winpath() { echo "Z:${1//\//\\}"; }
cd "$work" || fail "no work folder"
# The bus's capture of every control and bulk transfer, kept in the work folder.
capture=$work/wine.pcap
rm -f "$capture"
# Plug and Play's trace shows the devnodes it creates (see printerChild in cable_probe.cpp).
timeout 80 env WINEDEBUG=-all,trace+plugplay wine "$probe" "$(winpath "$media/driver/$(basename "$driver_inf")")" \
  "$(winpath "$media/bus/$(basename "$bus_inf")")" "$printer_id" "$(winpath "$work/host.pcap")" "$(winpath "$capture")" \
  2>"$work/wine.log" | tee "$work/probe.log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || {
  grep -v ':trace:' "$work/wine.log" | tail -n 20
  timeout 20 wineserver -k
  fail "cable_probe.exe exited with $status"
}
# Devnodes the probe expects Plug and Play to have created: Wine prints their paths with doubled backslashes.
created=$(sed -n 's/.*enumerate_new_device Creating new device L"\(.*\)"\.$/\1/p' "$work/wine.log" | sed 's/\\\\/\\/g')
while read -r _ path; do
  path=${path%$'\r'}
  grep -qxF -- "$path" <<<"$created" || fail "Plug and Play created no devnode $path (created: $(tr '\n' ' ' <<<"$created"))"
  echo "ok    Plug and Play created the printer's devnode $path"
done < <(grep '^expect-devnode ' "$work/probe.log")
# An independent reader of the capture: tshark finds the same bulk OUT bytes to the first cable as the probe.
if command -v tshark >/dev/null 2>&1; then
  want=$(sed -n 's/^capture-bulk-out-bytes \([0-9]*\).*/\1/p' "$work/probe.log")
  got=$(tshark -r "$capture" -Y 'usb.urb_type == 0x53 && usb.transfer_type == 0x03 && usb.device_address == 1 && usb.endpoint_address.direction == 0' \
    -T fields -e usb.data_len 2>"$work/tshark.log" | awk '{ n += $1 } END { print n + 0 }') ||
    fail "tshark cannot read $capture: $(cat "$work/tshark.log")"
  [ -n "$want" ] && [ "$got" = "$want" ] || fail "tshark reads $got bulk OUT bytes to the first cable in $capture, the probe $want"
  echo "ok    tshark reads the capture: $got bulk OUT bytes to the first cable"
else
  echo "note  tshark is not installed: the capture was checked by the probe only"
fi
echo "      capture written to $capture"
pass "the real driver on Wine's kernel over the simulated cable"
