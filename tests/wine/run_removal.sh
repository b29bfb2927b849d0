#!/usr/bin/env bash
# oslnkun.exe under Wine, answered with xdotool on a virtual X display.
# Usage: run_removal.sh SCENARIO OSLNKUN.EXE WORKDIR
#   yes_no        Yes, then No at the completion question: everything removed, [rename] written; a second run
#                 on the clean machine goes straight to the completion question.
#   readonly_inf  Yes with a read-only setup information file: its message (caption: its path), then the question.
#   declined      Enter, Esc and N at the question: nothing changes.
#   yes_yes       Yes, then Yes: the floppy message, then the program ends asking for a restart.
. "$(dirname "$0")/wine_common.sh"
scenario=$1 exe=$2 work=$3
need_tool wine
need_tool xvfb-run
need_tool xdotool
need_file "$exe"

# Inside the virtual display: run the scenario.
if [ "${OSLNK_IN_XVFB:-}" != 1 ]; then
  mkdir -p "$work"
  OSLNK_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

new_prefix "$work/prefix-$scenario"
drive=$WINEPREFIX/drive_c
sysdir=$drive/windows/system32
infdir=$drive/windows/inf/other
files=("$sysdir/dudirar.dll" "$sysdir/oslnkin.dll" "$sysdir/reveror.dll" "$sysdir/oslnk.sys" "$infdir/DODOZEREDID.INF")

PORTS='HKLM\System\CurrentControlSet\Control\Print\Ports'
MONITOR='HKLM\System\CurrentControlSet\Control\Print\Monitors\Molvex USB Cable Port Monitor'
CLASS='HKLM\System\CurrentControlSet\Services\Class\USBQXC'
USBKEY='HKLM\Enum\USB\VID_0F1B&PID_1002'
ROOTKEY='HKLM\Enum\Root\KVUSBCable'
removed_keys=("$PORTS\\KVUSB1" "$PORTS\\KVUSB2" "$PORTS\\KVUSB" "$CLASS" "$USBKEY" "$ROOTKEY" "$MONITOR")
kept_keys=("$PORTS\\LPT1" "$PORTS\\COM1" "$PORTS\\KVUS" 'HKLM\Enum\Root\Other')

install_product() {
  mkdir -p "$infdir"
  for f in "${files[@]}"; do echo "placeholder" >"$f"; done
  chmod a-w "$sysdir/oslnk.sys"  # read-only: cleared before the deletion
  for k in "${removed_keys[@]}" "${kept_keys[@]}"; do winecmd reg add "$k" /f >/dev/null || fail "reg add $k"; done
  winecmd reg add "$CLASS\\0000" /v MaxTransferSize /t REG_DWORD /d 1024 /f >/dev/null
  winecmd reg add "$USBKEY\\5&1A2B3C4D&0&1" /v HardwareID /t REG_SZ /d 'USB\VID_0F1B&PID_1002' /f >/dev/null
  winecmd reg add "$ROOTKEY\\0000" /v Class /t REG_SZ /d USB /f >/dev/null
  winecmd reg add "$MONITOR" /v Driver /t REG_SZ /d reveror.dll /f >/dev/null
}

start_program() {
  (cd "$drive" && wine "$exe" >"$work/$scenario.wine.log" 2>&1) &
  program=$!
}

# The question dialog's caption has no space after "Ostrolink"; the message boxes' caption has one.
question_dialog() { wait_window '^Ostrolink[^ ]' "${1:-30}" || fail "the question dialog did not appear"; }
message_box() { wait_window "$1" "${2:-15}" || fail "no window matching $1 appeared"; }

wait_program_end() {
  local n=0
  while kill -0 "$program" 2>/dev/null; do
    n=$((n + 1))
    [ $n -gt 150 ] && fail "the program did not end"
    sleep 0.1
  done
  wait "$program"
}

check_removed() {
  for k in "${removed_keys[@]}"; do ! reg_exists "$k" || fail "key still there: $k"; done
  for k in "${kept_keys[@]}"; do reg_exists "$k" || fail "key removed that must stay: $k"; done
  for f in "${files[@]:0:4}"; do [ ! -e "$f" ] || fail "file still there: $f"; done
}

check_rename_entry() {
  reg_exists 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\IniFileMapping\wininit.ini' ||
    fail "the profile mapping key was not written"
  winecmd reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\IniFileMapping\wininit.ini' /v rename |
    tr -d '\r' | grep -q 'REG_SZ *USR:wininit\\rename$' || fail "the mapping value rename is wrong"
  reg_exists 'HKCU\wininit' || fail "HKCU\\wininit was not created"
  # Wine, like Windows NT, follows the mapping just written: section [rename] of wininit.ini lives in
  # HKCU\wininit\rename. Without the mapping the entry would be in the file itself.
  local ini=$drive/windows/wininit.ini
  if [ -f "$ini" ]; then
    tr -d '\r' <"$ini" | grep -qix 'NUL=C:\\windows\\system32\\reveror.dll' ||
      fail "wininit.ini lacks NUL=C:\\windows\\system32\\reveror.dll: $(cat "$ini")"
  else
    winecmd reg query 'HKCU\wininit\rename' /v NUL | tr -d '\r' |
      grep -qi 'REG_SZ *C:\\windows\\system32\\reveror\.dll$' ||
      fail "no [rename] entry NUL=C:\\windows\\system32\\reveror.dll, neither in wininit.ini nor in HKCU\\wininit\\rename"
  fi
}

check_unchanged() {
  for k in "${removed_keys[@]}" "${kept_keys[@]}"; do reg_exists "$k" || fail "key removed after No: $k"; done
  for f in "${files[@]}"; do [ -e "$f" ] || fail "file removed after No: $f"; done
  [ ! -e "$drive/windows/wininit.ini" ] && ! reg_exists 'HKCU\wininit' || fail "[rename] entry written after No"
}

case "$scenario" in
  yes_no)
    install_product
    start_program
    press "$(question_dialog)" y
    box=$(message_box '^Ostrolink ')
    press "$box" n
    wait_program_end
    check_removed
    [ ! -e "$infdir/DODOZEREDID.INF" ] || fail "setup information file still there"
    check_rename_entry
    # Again on the clean machine: no message before the completion question.
    start_program
    press "$(question_dialog)" y
    box=$(message_box '^Ostrolink ')
    press "$box" n
    wait_program_end
    check_removed
    check_rename_entry
    ;;
  readonly_inf)
    mkdir -p "$infdir"
    echo "placeholder" >"$infdir/DODOZEREDID.INF"
    chmod a-w "$infdir/DODOZEREDID.INF"
    start_program
    press "$(question_dialog)" y
    box=$(message_box 'DODOZEREDID\.INF$')
    name=$(window_name "$box")
    [ "$name" = 'C:\windows\INF\OTHER\DODOZEREDID.INF' ] || fail "message caption is '$name'"
    press "$box" Return
    wait_gone "$box" || fail "the message did not close"
    box=$(message_box '^Ostrolink ')
    press "$box" n
    wait_program_end
    [ -e "$infdir/DODOZEREDID.INF" ] || fail "a read-only setup information file was deleted"
    ;;
  declined)
    install_product
    for key in Return Escape n; do
      start_program
      press "$(question_dialog)" "$key"
      wait_program_end
      check_unchanged
    done
    ;;
  yes_yes)
    install_product
    start_program
    press "$(question_dialog)" y
    box=$(message_box '^Ostrolink ')
    press "$box" y
    wait_gone "$box" || fail "the completion question did not close"
    floppy=$(message_box '^Ostrolink ')
    [ "$floppy" != "$box" ] || fail "no second message"
    press "$floppy" Return
    wait_program_end
    check_removed
    check_rename_entry
    ;;
  *)
    fail "unknown scenario $scenario"
    ;;
esac
timeout 20 wineserver -k >/dev/null 2>&1
echo "PASSED: $scenario"
