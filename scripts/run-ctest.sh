#!/usr/bin/env bash
# Runs CTest in a build folder and names every test that was skipped, with the reason it gave (a tool or an
# image that was missing). Where everything should be installed (CI=true, or root: make deps installed it), a
# skipped test fails the run.
#   scripts/run-ctest.sh BUILD_DIR [CTEST ARGS...]
set -u -o pipefail
build=${1:?usage: run-ctest.sh BUILD_DIR [CTEST ARGS...]}
shift
cd "$build" || exit 2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
ctest "$@" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}

# OSLNK_CTEST_SUMMARY=FILE: the summary (from CTest's count of passed tests on, and the skipped tests) also goes
# to FILE, for make test to show again when its steps that ran beside this one have ended.
summary=${OSLNK_CTEST_SUMMARY:-/dev/null}
sed -n '/tests passed, /,$p' "$out" > "$summary"
mapfile -t skipped < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$out")
[ ${#skipped[@]} -eq 0 ] && exit "$status"

# The reason: GoogleTest prints it on the line after "...: Skipped"; the script tests print "SKIPPED: reason".
reason() {
  awk -v name="$1" '
    /^[0-9]+\/[0-9]+ Test(ing)?: / { current = $0; sub(/^[0-9]+\/[0-9]+ Test(ing)?: /, "", current) }
    current == name && after_skipped { print; exit }
    current == name && /: Skipped$/ { after_skipped = 1; next }
    current == name && /^SKIPPED: / { sub(/^SKIPPED: /, ""); print; exit }
  ' Testing/Temporary/LastTest.log 2>/dev/null
}
# A test that skips because of what the machine is, not what is installed ("this machine cannot ...": a
# kernel that runs no 32-bit program cannot run Wine), is named but does not fail the run: no install mends it.
missing_tools=0
{
  echo
  echo "Skipped tests (${#skipped[@]}):"
  for t in "${skipped[@]}"; do
    r=$(reason "$t")
    echo "  $t${r:+: $r}"
  done
} | tee -a "$summary"
for t in "${skipped[@]}"; do
  case "$(reason "$t")" in "this machine cannot "*) ;; *) missing_tools=$((missing_tools + 1)) ;; esac
done
if [ $missing_tools -eq 0 ]; then
  echo "Every skip above is a limit of this machine, not a missing tool; they do not fail the run." | tee -a "$summary"
  exit "$status"
fi
{
  if [ "${CI:-}" = true ] || [ "$(id -u)" -eq 0 ]; then
    echo "These tests were skipped where every tool should be installed (CI=true or root): the run fails."
    echo "Run make deps as root to install what is missing, or see the reasons above."
  else
    echo "(Not root and not CI: make deps as root installs what these tests need.)"
  fi
} | tee -a "$summary"
if [ "${CI:-}" = true ] || [ "$(id -u)" -eq 0 ]; then
  exit 1
fi
exit "$status"
