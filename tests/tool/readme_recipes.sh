#!/usr/bin/env bash
# The README's recipe for running single tests works as written: each line of its "Running one test" block
# runs in the host build folder (the block's `cd build/host`, here the folder CTest runs in), with ctest only
# listing (-N) and a test program only listing (--gtest_list_tests), and each must find at least one test.
#   readme_recipes.sh SOURCE_DIR BUILD_DIR
set -u -o pipefail
src=${1:?usage: readme_recipes.sh SOURCE_DIR BUILD_DIR} build=${2:?usage: readme_recipes.sh SOURCE_DIR BUILD_DIR}
block=$(awk '/^## Running one test/ { on = 1 } on && /^```/ { n++; next } on && n == 1' "$src/README.md")
[ -n "$block" ] || { echo "FAIL: README.md has no block under \"## Running one test\""; exit 1; }
failures=0 lines=0
cd "$build" || exit 1
# ctest writes Testing/Temporary/LastTest.log even when it only lists, and the CTest run this check is part of
# reads that log for the reasons of skipped tests: list from a copy of the build's test files instead.
listing=$(mktemp -d)
trap 'rm -rf "$listing"' EXIT
find . -name CTestTestfile.cmake | while IFS= read -r f; do
  mkdir -p "$listing/${f%/*}" && cp "$f" "$listing/$f"
done
ctest() { (cd "$listing" && command ctest "$@"); }
while IFS= read -r line; do
  command=${line%%  #*}                       # without the comment
  command=${command%"${command##*[![:space:]]}"}
  case "$command" in
    ''|make\ *) continue ;;                   # building is not this test's part
    'cd build/host') continue ;;              # the folder CTest runs this in
    ctest\ *) run="${command/ctest /ctest -N }" ;;
    *--gtest_filter=*) run="$command --gtest_list_tests" ;;
    *) echo "FAIL: a recipe line this check does not know: $line"; failures=$((failures + 1)); continue ;;
  esac
  lines=$((lines + 1))
  out=$(eval "$run" 2>&1)
  if [ $? -ne 0 ]; then
    echo "FAIL: $command"; echo "$out"; failures=$((failures + 1))
  elif [[ $run == ctest* ]]; then
    found=$(sed -n 's/^Total Tests: \([0-9]*\)$/\1/p' <<<"$out")
    if [ "${found:-0}" -gt 0 ]; then echo "ok    $command: $found tests"
    else echo "FAIL: $command finds no test"; failures=$((failures + 1)); fi
  else
    found=$(grep -c '^  ' <<<"$out")
    if [ "$found" -gt 0 ]; then echo "ok    $command: $found tests"
    else echo "FAIL: $command finds no test"; echo "$out"; failures=$((failures + 1)); fi
  fi
done <<<"$block"
[ "$lines" -ge 2 ] || { echo "FAIL: only $lines recipe lines were checked"; failures=$((failures + 1)); }

# docs/design.md's "Where things live": every file it names exists, every test regex selects a test (matched
# against ctest -N's list, as ctest -R would).
map=$(awk '/^## Where things live/ { on = 1; next } on && /^## / { exit } on && /^\| [^-B]/' "$src/docs/design.md")
rows=0
names=$(ctest -N | sed -n 's/^ *Test *#[0-9]*: //p')
while IFS= read -r row; do
  rows=$((rows + 1))
  code=$(awk -F' \\| ' '{ print $2 }' <<<"$row") tests=$(awk -F' \\| ' '{ print $3 }' <<<"$row")
  while IFS= read -r path; do
    [ -e "$src/$path" ] || { echo "FAIL: the map names $path, which does not exist"; failures=$((failures + 1)); }
  done < <(grep -o '`[a-z_]*/[A-Za-z0-9_./]*`' <<<"$code" | tr -d '`')
  while IFS= read -r regex; do
    regex=${regex//\\|/|}
    grep -Eq -- "$regex" <<<"$names" || { echo "FAIL: the map's test regex $regex selects no test"; failures=$((failures + 1)); }
  done < <(grep -o '`[a-z_]*\\\.[^`]*`\|`fuzz_[a-z_]*`' <<<"$tests" | tr -d '`' | grep -v '^fuzz_')
done <<<"$map"
[ "$rows" -ge 8 ] || { echo "FAIL: docs/design.md's map has $rows rows"; failures=$((failures + 1)); }
echo "checked $lines recipe lines and $rows rows of the map"
exit $((failures > 0))
