#!/usr/bin/env bash
# oslnkin.dll under Wine: loaded by a small test program, its exports pass the spooler's answers through.
# Usage: run_monitor_helper.sh PROBE.EXE OSLNKIN.DLL WORKDIR
. "$(dirname "$0")/wine_common.sh"
probe=$1 dll=$2 work=$3
need_tool wine
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
