#!/usr/bin/env bash
# oslnkun.exe under Wine, answered with xdotool on a virtual X display.
# Usage: run_removal.sh SCENARIO OSLNKUN.EXE WORKDIR
#   yes_no        Yes, then No at the completion question: everything removed, [rename] written; a second run
#                 on the clean machine goes straight to the completion question.
#   readonly_inf  Yes with a read-only setup information file: its message (caption: its path), then the question.
#   declined      Enter, Esc, N and Alt+F4 (the close command) at the question: nothing changes.
#   yes_yes       Yes, then Yes: the floppy message, then the program ends asking for a restart.
. "$(dirname "$0")/wine_common.sh"
scenario=$1 exe=$2 work=$3
need_tool wine
need_tool xvfb-run
need_tool xdotool
need_file "$exe"

in_virtual_display "$work" "$0" "$@"

new_prefix "$work/prefix-$scenario"
drive=$WINEPREFIX/drive_c
sysdir=$drive/windows/system32
infdir=$drive/windows/inf/other
files=("$sysdir/dudirar.dll" "$sysdir/oslnkin.dll" "$sysdir/reveror.dll" "$sysdir/oslnk.sys" "$infdir/DODOZEREDID.INF")

# Registry paths below their root (HKLM in system.reg, HKCU in user.reg).
PORTS='System\CurrentControlSet\Control\Print\Ports'
MONITOR='System\CurrentControlSet\Control\Print\Monitors\Molvex USB Cable Port Monitor'
CLASS='System\CurrentControlSet\Services\Class\USBQXC'
USBKEY='Enum\USB\VID_0F1B&PID_1002'
ROOTKEY='Enum\Root\KVUSBCable'
MAPPING='SOFTWARE\Microsoft\Windows NT\CurrentVersion\IniFileMapping\wininit.ini'
removed_keys=("$PORTS\\KVUSB1" "$PORTS\\KVUSB2" "$PORTS\\KVUSB" "$CLASS" "$USBKEY" "$ROOTKEY" "$MONITOR")
kept_keys=("$PORTS\\LPT1" "$PORTS\\COM1" "$PORTS\\KVUS" 'Enum\Root\Other')

install_product() {
  mkdir -p "$infdir"
  for f in "${files[@]}"; do echo "placeholder" >"$f"; done
  chmod a-w "$sysdir/oslnk.sys"  # read-only: cleared before the deletion
  {
    echo 'REGEDIT4'
    for k in "${removed_keys[@]}" "${kept_keys[@]}"; do printf '\n[HKEY_LOCAL_MACHINE\\%s]\n' "$k"; done
    printf '\n[HKEY_LOCAL_MACHINE\\%s\\0000]\n"MaxTransferSize"=dword:00000400\n' "$CLASS"
    printf '\n[HKEY_LOCAL_MACHINE\\%s\\5&1A2B3C4D&0&1]\n"HardwareID"="USB\\\\VID_0F1B&PID_1002"\n' "$USBKEY"
    printf '\n[HKEY_LOCAL_MACHINE\\%s\\0000]\n"Class"="USB"\n' "$ROOTKEY"
    printf '\n[HKEY_LOCAL_MACHINE\\%s]\n"Driver"="reveror.dll"\n' "$MONITOR"
  } >"$work/$scenario.install.reg"
  (cd "$work" && winecmd reg import "$scenario.install.reg") || fail "cannot import the product's keys"
  flush_registry
  for k in "${removed_keys[@]}" "${kept_keys[@]}"; do reg_has HKLM "$k" || fail "installing: key $k missing"; done
}

start_program() {
  (cd "$drive" && wine "$exe" >"$work/$scenario.wine.log" 2>&1) &
  program=$!
}

# The question dialog's caption has no space after "Ostrolink"; the message boxes' caption has one.
# answer_question KEY [SHOT]: waits for the question dialog and types KEY there, saving a screenshot of the
# dialog first as $work/SHOT.png when SHOT is given.
answer_question() {
  local w
  w=$(wait_window '^Ostrolink[^ ]' 40) || fail "the question dialog did not appear"
  [ -n "${2:-}" ] && screenshot "$work/$2.png" "$w"
  press "$w" "$1"
}
# message_box REGEX: sets $box to the message box whose caption matches.
message_box() {
  box=$(wait_window "$1" 20) || fail "no window matching $1 appeared"
}

wait_program_end() {
  local n=0
  while kill -0 "$program" 2>/dev/null; do
    n=$((n + 1))
    [ $n -gt 200 ] && fail "the program did not end"
    sleep 0.1
  done
  wait "$program"
}

check_removed() {
  flush_registry
  for k in "${removed_keys[@]}"; do ! reg_has HKLM "$k" || fail "key still there: $k"; done
  for k in "${kept_keys[@]}"; do reg_has HKLM "$k" || fail "key removed that must stay: $k"; done
  for f in "${files[@]:0:4}"; do [ ! -e "$f" ] || fail "file still there: $f"; done
}

check_rename_entry() {
  reg_has HKLM "$MAPPING" || fail "the profile mapping key was not written"
  [ "$(reg_value HKLM "$MAPPING" rename)" = '"USR:wininit\\rename"' ] ||
    fail "the mapping value rename is '$(reg_value HKLM "$MAPPING" rename)'"
  reg_has HKCU 'wininit' || fail "HKCU\\wininit was not created"
  # Wine, like Windows NT, follows the mapping just written: section [rename] of wininit.ini lives in
  # HKCU\wininit\rename. Without the mapping the entry would be in the file itself.
  local ini=$drive/windows/wininit.ini
  if [ -f "$ini" ]; then
    tr -d '\r' <"$ini" | grep -qix 'NUL=C:\\windows\\system32\\reveror.dll' ||
      fail "wininit.ini lacks NUL=C:\\windows\\system32\\reveror.dll: $(cat "$ini")"
  else
    local entry
    entry=$(reg_value HKCU 'wininit\rename' NUL)
    [ "${entry,,}" = '"c:\\windows\\system32\\reveror.dll"' ] ||
      fail "no [rename] entry NUL=C:\\windows\\system32\\reveror.dll (HKCU\\wininit\\rename has NUL=$entry)"
  fi
}

check_unchanged() {
  flush_registry
  for k in "${removed_keys[@]}" "${kept_keys[@]}"; do reg_has HKLM "$k" || fail "key removed after No: $k"; done
  for f in "${files[@]}"; do [ -e "$f" ] || fail "file removed after No: $f"; done
  [ ! -e "$drive/windows/wininit.ini" ] && ! reg_has HKCU 'wininit' || fail "[rename] entry written after No"
}

case "$scenario" in
  yes_no)
    install_product
    start_program
    answer_question y
    message_box '^Ostrolink '
    press "$box" n
    wait_program_end
    check_removed
    [ ! -e "$infdir/DODOZEREDID.INF" ] || fail "setup information file still there"
    check_rename_entry
    # Again on the clean machine: no message before the completion question.
    start_program
    answer_question y
    message_box '^Ostrolink '
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
    answer_question y
    message_box 'DODOZEREDID\.INF$'
    name=$(window_name "$box")
    [ "$name" = 'C:\windows\INF\OTHER\DODOZEREDID.INF' ] || fail "message caption is '$name'"
    press "$box" Return
    wait_gone "$box" || fail "the message did not close"
    message_box '^Ostrolink '
    press "$box" n
    wait_program_end
    [ -e "$infdir/DODOZEREDID.INF" ] || fail "a read-only setup information file was deleted"
    ;;
  declined)
    install_product
    for key in Return Escape n alt+F4; do
      start_program
      answer_question "$key"
      wait_program_end
      check_unchanged
    done
    ;;
  yes_yes)
    install_product
    start_program
    # The dialogs as a Japanese Windows 98 shows them, for a look (the Japanese must read correctly).
    answer_question y removal-question
    message_box '^Ostrolink '
    screenshot "$work/removal-done-question.png" "$box"
    press "$box" y
    wait_gone "$box" || fail "the completion question did not close"
    question=$box
    message_box '^Ostrolink '
    [ "$box" != "$question" ] || fail "no second message"
    screenshot "$work/removal-floppy-message.png" "$box"
    press "$box" Return
    wait_program_end
    check_removed
    check_rename_entry
    ;;
  *)
    fail "unknown scenario $scenario"
    ;;
esac
pass "$scenario"
