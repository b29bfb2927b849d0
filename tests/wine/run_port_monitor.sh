#!/usr/bin/env bash
# The port monitor reveror.dll under Wine over the simulated cable bus, with the real oslnk.sys: installed
# through oslnkin.dll's AddMonitor32, seen by the spooler with its port, jobs through its function tables as the
# spooler calls them, a printer out of paper part-way, and whether Wine's spooler carries a WritePrinter job to
# it. The steps are port_monitor_probe.exe's sub-commands (see its source), which other Wine tests can reuse.
# Usage: run_port_monitor.sh PROBE.EXE REVEROR.DLL OSLNKIN.DLL OSLNK.SYS OSLNK.INF OSLNKBUS.SYS OSLNKBUS.INF WORKDIR
. "$(dirname "$0")/wine_common.sh"
probe=$1 monitor=$2 helper=$3 driver=$4 driver_inf=$5 bus=$6 bus_inf=$7 work=$8
bus_runtime=$(dirname "$bus")/oslnkbus_sim.dll
need_tool wine
for f in "$probe" "$monitor" "$helper" "$driver" "$driver_inf" "$bus" "$bus_inf" "$bus_runtime"; do
  [ -f "$f" ] || fail "$f has not been built"
done

mkdir -p "$work"
new_prefix "$work/prefix"
media=$work/media
rm -rf "$media" && mkdir -p "$media/driver" "$media/bus"
cp "$driver" "$driver_inf" "$media/driver/" && cp "$bus" "$bus_runtime" "$bus_inf" "$media/bus/" || fail "cannot stage the images"
# Wine difference (as in run_cable_bus.sh): setup looks for the driver's files beside the INF folder's copy.
cp "$driver" "$WINEPREFIX/drive_c/windows/inf/" || fail "cannot stage the driver beside the INF folder"
# The monitor and the helper where setup puts them, the system directory, for the spooler to load by name.
cp "$monitor" "$helper" "$WINEPREFIX/drive_c/windows/system32/" || fail "cannot copy the monitor into the prefix"
winecmd reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 60000 /f >/dev/null ||
  fail "cannot set the service start time-out"
# Wine difference: a prefix made without CUPS printers has no printer driver at all, and AddPrinter wants the
# driver's key. A raw job never loads the driver, so its key is enough.
winecmd reg add 'HKLM\System\CurrentControlSet\Control\Print\Environments\Windows NT x86\Drivers\Version-3\Generic / Text Only' \
  /v Driver /t REG_SZ /d wineps.drv /f >/dev/null || fail "cannot register the printer driver's key"
timeout 30 wineserver -w
# The simulated cables live in Wine's device host: the server (and with it the bus) must outlive each step.
wineserver -p

winpath() { echo "Z:${1//\//\\}"; }
cd "$work" || fail "no work folder"
log=$work/probe.log
: >"$log"
step() {
  echo "== port_monitor_probe $*" | tee -a "$log"
  timeout 120 wine "$probe" "$@" 2>>"$work/wine.log" | tr -d '\r' | tee -a "$log"
  return "${PIPESTATUS[0]}"
}
finish() {
  timeout 20 wineserver -k
  [ "$1" = ok ] || fail "$2 (see $log and $work/wine.log)"
}

step install "$(winpath "$media/driver/$(basename "$driver_inf")")" "$(winpath "$media/bus/$(basename "$bus_inf")")" ||
  finish no "installing the driver and the bus"
step add-monitor 'C:\windows\system32\oslnkin.dll' reveror.dll || finish no "the monitor was not added"
step plug 0 || finish no "the cable did not appear"
step spooler KVUSB1 || finish no "the spooler does not show the monitor or its port"
# Pieces below, at and above MaxTransferSize (1024, the INF's default): the monitor cuts them to fit.
step job 'C:\windows\system32\reveror.dll' 9x 0 KVUSB1 20000 700 || finish no "a job through the Windows 98 table"
step job 'C:\windows\system32\reveror.dll' nt 0 KVUSB1 70001 4096 || finish no "a job through the MONITOR2 table"
step paper-out 'C:\windows\system32\reveror.dll' 0 KVUSB1 || finish no "out of paper part-way"
# Wine's spooler carries a job from WritePrinter to the monitor: spool file, print processor winprint, then
# OpenPrinter "KVUSB1, Port" (the port's monitor found by its key under the monitor's key), StartDocPort,
# WritePort in pieces of 4096, EndDocPort.
step write-printer 0 KVUSB1 70000 || finish no "a WritePrinter job did not reach the printer through the monitor"
finish ok
pass "reveror.dll under Wine: installed, listed, printing through its function tables and from WritePrinter"
