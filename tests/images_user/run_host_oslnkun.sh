#!/usr/bin/env bash
# The host oslnkun program end to end: a machine folder, answers on standard input, the texts on the terminal,
# the machine's state afterwards. Usage: run_host_oslnkun.sh OSLNKUN WORKDIR
set -u -o pipefail
exe=$1 work=$2
fail() { echo "FAILED: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
machine=$work/machine

# No at the question: only the dialog, nothing written into wininit.ini.
out=$(printf 'no\n' | OSLNK_MACHINE=$machine timeout 60 "$exe" some arguments that are ignored) || fail "exit status $? after No"
echo "$out"
grep -q 'Ostrolinkのアンインストール' <<<"$out" || fail "no dialog caption"
grep -q 'プリンタUSBケーブル Ostrolinkの' <<<"$out" || fail "no upper line"
grep -q 'アンインストールを実行します。' <<<"$out" || fail "no lower line"
! grep -q 'アンインストールが完了しました' <<<"$out" || fail "asked the completion question after No"
[ -f "$machine/registry.reg" ] || fail "the machine's registry was not saved"
[ ! -e "$machine/C/WINDOWS/wininit.ini" ] || fail "wininit.ini written after No"

# Yes, then No: the completion question, the [rename] entry, no restart.
out=$(printf 'yes\nno\n' | OSLNK_MACHINE=$machine timeout 60 "$exe") || fail "exit status $? after Yes"
echo "$out"
grep -q 'Ostrolink のアンインストール' <<<"$out" || fail "no completion question"
grep -q 'アンインストールが完了しました。ドライバを再インストールする場合は' <<<"$out" || fail "wrong completion text"
! grep -q 'restart' <<<"$out" || fail "a restart was reported after No"
tr -d '\r' <"$machine/C/WINDOWS/wininit.ini" | grep -qx 'NUL=C:\\WINDOWS\\SYSTEM\\reveror.dll' ||
  fail "no [rename] entry: $(cat "$machine/C/WINDOWS/wininit.ini")"

# Yes, Yes, OK: the floppy message and the restart request.
out=$(printf 'yes\nyes\nok\n' | OSLNK_MACHINE=$machine timeout 60 "$exe") || fail "exit status $? after Yes, Yes"
grep -q 'フロッピーディスクを抜いて［OK］ボタンをクリックしてください。' <<<"$out" || fail "no floppy message"
grep -q 'asked to restart' <<<"$out" || fail "the restart request was not reported"

# A machine folder that cannot be one: a clear error, status 1.
touch "$work/not-a-folder"
out=$(OSLNK_MACHINE=$work/not-a-folder timeout 60 "$exe" </dev/null 2>&1) && fail "accepted a file as the machine folder"
grep -q '^oslnkun: ' <<<"$out" || fail "no error message: $out"
echo "PASSED"
