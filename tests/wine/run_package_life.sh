#!/usr/bin/env bash
# The package's whole life under Wine, as a Japanese Windows 98 user lives it, answered with xdotool on a
# virtual X display. The media folder holds oslnkset.exe beside the files it installs.
# Usage: run_package_life.sh SCENARIO OSLNKSET.EXE OSLNK.SYS OSLNKIN.DLL REVEROR.DLL OSLNK.INF OSLNKUN.EXE
#                            PORT_MONITOR_PROBE.EXE OSLNKBUS.SYS OSLNKBUS.INF WORKDIR
#   life      setup from the media: files, INF copy, class and driver keys, the monitor; setup once more over
#             it; a cable on Wine's bus and a job through the monitor setup added (port_monitor_probe.exe's
#             steps); then the removal program answered Yes, Yes takes it all away again.
#   blocked   setup with a folder named reveror.dll in the system directory, so that the third copy fails:
#             its message, and nothing of the package stays behind (the two files copied before it are taken
#             back). A read-only file would not do: the tests run as root, and Wine then overwrites it.
#   kanji     setup from a media folder named 表, whose second byte in code page 932 is 0x5C, the byte of '':
#             it installs from there as from any other folder.
. "$(dirname "$0")/wine_common.sh"
scenario=$1 setup_exe=$2 driver=$3 helper=$4 monitor=$5 inf=$6 removal_exe=$7 probe=$8 bus=$9 bus_inf=${10}
work=${11}
need_tool wine
need_tool xvfb-run
need_tool xdotool
for f in "$setup_exe" "$driver" "$helper" "$inf" "$removal_exe"; do need_file "$f"; done
# Setup cannot add a monitor whose library does not load; printing needs the bus and the probe.
if [ "$scenario" = life ]; then
  for f in "$monitor" "$probe" "$bus" "$(dirname "$bus")/oslnkbus_sim.dll" "$bus_inf"; do need_file "$f"; done
fi
[ "$scenario" = kanji ] && need_file "$monitor"

in_virtual_display "$work" "$0" "$@"

new_prefix "$work/prefix-$scenario"
drive=$WINEPREFIX/drive_c
sysdir=$drive/windows/system32
media=$work/media-$scenario
[ "$scenario" = kanji ] && media=$work/media-kanji/表
rm -rf "$work/media-$scenario" && mkdir -p "$media" || fail "no media folder"
cp "$setup_exe" "$driver" "$helper" "$inf" "$media/" || fail "cannot stage the media"
if [ -f "$monitor" ]; then cp "$monitor" "$media/"; else echo "MZ stands for reveror.dll" >"$media/reveror.dll"; fi
winpath() { echo "Z:${1//\//\\}"; }

CLASS='System\CurrentControlSet\Services\Class\USBQXC'
MONITOR='System\CurrentControlSet\Control\Print\Monitors\Molvex USB Cable Port Monitor'
package_files=("$sysdir/oslnk.sys" "$sysdir/oslnkin.dll" "$sysdir/reveror.dll")
# The INF's copy, wherever the case of INF\OTHER fell.
inf_copy() { find "$drive/windows" -maxdepth 3 -ipath '*/inf/other/dodozeredid.inf' 2>/dev/null | head -n 1; }

# run_setup SHOT: runs oslnkset.exe from the media, saves its message box as $work/SHOT.png, presses OK;
# sets $status to the program's exit code.
run_setup() {
  (cd "$drive" && wine "$(winpath "$media/oslnkset.exe")" >"$work/$scenario.setup.log" 2>&1) &
  local program=$! box
  box=$(wait_window '^Ostrolink ' 40) || fail "setup showed no message"
  screenshot "$work/$1.png"
  press "$box" Return
  wait "$program"
  status=$?
}

case "$scenario" in
  life)
    run_setup setup-done
    [ "$status" -eq 0 ] || fail "setup ended with $status (see $work/setup-done.png)"
    flush_registry
    for f in "${package_files[@]}"; do
      cmp -s "$f" "$media/$(basename "$f")" || fail "setup did not install $f"
    done
    copy=$(inf_copy)
    [ -n "$copy" ] && cmp -s "$copy" "$inf" || fail "no INF\\OTHER\\DODOZEREDID.INF with the package's INF"
    [ "$(reg_value HKLM "$CLASS\\0000" MaxTransferSize)" = 'dword:00000400' ] &&
      [ "$(reg_value HKLM "$CLASS\\0000" NTMPDriver)" = '"oslnk.sys"' ] ||
      fail "the driver key $CLASS\\0000 lacks the INF's values (see $WINEPREFIX/system.reg)"
    [ "$(reg_value HKLM "$MONITOR" Driver)" = '"reveror.dll"' ] || fail "the spooler has no monitor with reveror.dll"
    echo "ok    setup installed the files, the INF copy, the driver key and the monitor"
    # Once more over itself, as a user reinstalling does: the monitor is there already, the files are replaced.
    run_setup setup-again
    [ "$status" -eq 0 ] || fail "setup over an earlier setup ended with $status (see $work/setup-again.png)"
    [ -z "$(find "$sysdir" -maxdepth 1 -name '*.~os')" ] || fail "setup left the earlier files' copies behind"
    echo "ok    setup runs again over an earlier setup"

    # A cable on Wine's bus and a job through the monitor that setup added, as the spooler calls it.
    # Wine difference: Wine's device installer looks for INFs in %windir%\inf only, not in INF\OTHER where
    # setup put the copy Windows 98 finds; the probe offers it the media's INF (SetupCopyOEMInf), with the
    # driver staged beside the INF folder as in run_cable_bus.sh.
    stage=$work/bus-$scenario
    rm -rf "$stage" && mkdir -p "$stage" && cp "$bus" "$(dirname "$bus")/oslnkbus_sim.dll" "$bus_inf" "$stage/" &&
      cp "$driver" "$drive/windows/inf/" || fail "cannot stage the bus"
    winecmd reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 60000 /f >/dev/null ||
      fail "cannot set the service start time-out"
    timeout 30 wineserver -w
    # The simulated cable lives in Wine's device host: the server must outlive each step.
    wineserver -p
    probe_step() {
      echo "== port_monitor_probe $*"
      timeout 120 wine "$probe" "$@" 2>>"$work/$scenario.wine.log" | tr -d '\r'
      [ "${PIPESTATUS[0]}" -eq 0 ] || { timeout 20 wineserver -k; fail "port_monitor_probe $1 failed"; }
    }
    probe_step install "$(winpath "$media/oslnk.inf")" "$(winpath "$stage/$(basename "$bus_inf")")"
    probe_step plug 0
    probe_step spooler KVUSB1
    probe_step job 'C:\windows\system32\reveror.dll' 9x 0 KVUSB1 20000 700
    timeout 20 wineserver -k
    echo "ok    a job through the installed monitor reached the printer byte for byte"

    (cd "$drive" && wine "$removal_exe" >"$work/$scenario.removal.log" 2>&1) &
    program=$!
    w=$(wait_window '^Ostrolink[^ ]' 40) || fail "the removal question did not appear"
    screenshot "$work/removal-question.png"
    press "$w" y
    box=$(wait_window '^Ostrolink ' 20) || fail "no completion question"
    screenshot "$work/removal-done-question.png"
    press "$box" y
    wait_gone "$box" || fail "the completion question did not close"
    box=$(wait_window '^Ostrolink ' 20) || fail "no floppy message"
    screenshot "$work/removal-floppy-message.png"
    press "$box" Return
    wait "$program"
    flush_registry
    for k in "$CLASS" "$MONITOR" 'System\CurrentControlSet\Control\Print\Ports\KVUSB1'; do
      ! reg_has HKLM "$k" || fail "the removal left the key $k"
    done
    for f in "$sysdir/oslnk.sys" "$sysdir/oslnkin.dll"; do [ ! -e "$f" ] || fail "the removal left $f"; done
    [ -z "$(inf_copy)" ] || fail "the removal left the INF copy $(inf_copy)"
    # A monitor library still loaded by the spooler is deleted at the next start instead.
    if [ -e "$sysdir/reveror.dll" ]; then
      entry=$(reg_value HKCU 'wininit\rename' NUL)
      [ "${entry,,}" = '"c:\\windows\\system32\\reveror.dll"' ] || fail "reveror.dll stays and is not entered for deletion"
    fi
    echo "ok    the removal took the files, the INF copy, the keys and the monitor away"
    ;;
  blocked)
    mkdir -p "$sysdir/reveror.dll"
    run_setup setup-copy-failure
    [ "$status" -eq 4 ] || fail "setup ended with $status, not 4 (a file could not be written)"
    flush_registry
    for f in "$sysdir/oslnk.sys" "$sysdir/oslnkin.dll"; do [ ! -e "$f" ] || fail "a failed setup left $f"; done
    [ -d "$sysdir/reveror.dll" ] || fail "the folder in the way was changed"
    [ -z "$(inf_copy)" ] || fail "a failed setup left the INF copy"
    for k in "$CLASS" "$MONITOR"; do ! reg_has HKLM "$k" || fail "a failed setup left the key $k"; done
    echo "ok    the failed setup took back what it had copied"
    ;;
  kanji)
    run_setup setup-kanji
    [ "$status" -eq 0 ] || fail "setup from a folder named 表 ended with $status (see $work/setup-kanji.png)"
    for f in "${package_files[@]}"; do
      cmp -s "$f" "$media/$(basename "$f")" || fail "setup from a folder named 表 did not install $f"
    done
    echo "ok    setup installed from a folder whose name ends in a trail byte 0x5C"
    ;;
  *)
    fail "unknown scenario $scenario"
    ;;
esac
pass "$scenario"
