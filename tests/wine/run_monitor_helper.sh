#!/usr/bin/env bash
# oslnkin.dll under Wine: loaded by a small test program, its exports pass the spooler's answers through.
# Usage: run_monitor_helper.sh PROBE.EXE OSLNKIN.DLL WORKDIR
# When the build had no mingw-w64 (it was configured before make test installed it), the probe is built here
# from monitor_probe.c, so that the test runs whenever the compiler is there now.
. "$(dirname "$0")/wine_common.sh"
probe=$1 dll=$2 work=$3
need_tool wine
if [ ! -f "$probe" ] && command -v i686-w64-mingw32-gcc >/dev/null 2>&1; then
  # Beside the work folder, which receives a copy.
  probe="$(dirname "$work")/monitor_probe.exe"
  mkdir -p "$work" || fail "no work folder"
  i686-w64-mingw32-gcc -O1 -Wall -Werror -o "$probe" "$(dirname "$0")/monitor_probe.c" -lwinspool -static-libgcc ||
    fail "cannot build the probe program"
fi
need_file "$probe"
need_file "$dll"
new_prefix "$work/prefix"
cp "$probe" "$dll" "$work/" || fail "cannot copy the images"
cd "$work" || fail "no work folder"
out=$(timeout 30 wine ./"$(basename "$probe")" ./"$(basename "$dll")" 2>&1 | tr -d '\r')
status=$?
echo "$out"
[ $status -eq 0 ] || fail "the probe reported failures"
echo "$out" | grep -q '^ALL PASSED$' || fail "the probe did not finish"
pass "oslnkin.dll under Wine"
