# Shared by the Wine tests: skipping when the tools are missing, a fresh 32-bit prefix, and waiting for
# windows. Sourced, not run. Exit code 77 tells CTest that the test was skipped.
set -u -o pipefail

SKIP=77

skip() {
  echo "SKIPPED: $*"
  exit $SKIP
}

fail() {
  echo "FAILED: $*"
  exit 1
}

# Wine runs the 32-bit images as 32-bit x86 Linux processes. Some kernels (and sandboxes such as gVisor)
# execute no 32-bit x86 program at all: there the Wine tests cannot run whatever is installed, and they say
# so in words that scripts/run-ctest.sh tells apart from a missing install.
MACHINE_CANNOT_RUN_WINE="this machine cannot execute 32-bit x86 programs (Exec format error), so Wine cannot run here"
runs_32bit_programs() {
  local loader=/lib/ld-linux.so.2
  [ -e "$loader" ] || return 0  # wine32 is missing: wineboot reports that as a missing install
  "$loader" --help >/dev/null 2>&1
  [ $? -ne 126 ]
}

need_tool() {
  command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed"
  if [ "$1" = wine ] && ! runs_32bit_programs; then
    skip "$MACHINE_CANNOT_RUN_WINE"
  fi
}

need_file() {
  [ -f "$1" ] || skip "$1 has not been built"
}

# Runs the calling script again inside a virtual X display, once: in_virtual_display WORKDIR "$0" "$@".
# Inside it (and for a script already there) it returns and the script goes on.
in_virtual_display() {
  local work=$1 script=$2
  shift 2
  [ "${OSLNK_IN_XVFB:-}" = 1 ] && return 0
  mkdir -p "$work"
  OSLNK_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$script" "$@"
}

wine_env() {
  export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# The Japanese font the prefixes show their texts in (Debian's fonts-ipafont-gothic), standing in for the
# fonts a Japanese Windows 98 has: the dialogs ask for "ＭＳ Ｐゴシック", message boxes for the system font.
JAPANESE_FONT=IPAPGothic
JAPANESE_FONT_REPLACED=("ＭＳ Ｐゴシック" "ＭＳ ゴシック" "MS PGothic" "MS Gothic" "MS UI Gothic" "MS Shell Dlg"
                        "MS Shell Dlg 2" "MS Sans Serif" "Tahoma")

# What a prefix is made of besides Wine itself; a template made by another recipe is made again.
PREFIX_RECIPE="ja_JP font $JAPANESE_FONT"
prefix_version() {
  echo "$(wine --version 2>/dev/null) / $PREFIX_RECIPE"
}

# make_prefix DIR: a fresh 32-bit prefix made by wineboot (some seconds), its fonts Japanese.
make_prefix() {
  rm -rf "$1"
  mkdir -p "$1"
  wine_env
  WINEPREFIX="$1" timeout 60 env LC_ALL=ja_JP.UTF-8 wineboot -i >"$1.boot.log" 2>&1 || {
    tail -n 20 "$1.boot.log"
    return 1
  }
  # The font list is read whole before it is searched: grep -q in a pipe under pipefail stops reading at the
  # first match, fc-list then dies of SIGPIPE and the pipe reports the font missing although it is installed.
  local fonts
  fonts=$(fc-list 2>/dev/null || true)
  if grep -qF -- "$JAPANESE_FONT" <<<"$fonts"; then
    local face
    for face in "${JAPANESE_FONT_REPLACED[@]}"; do
      WINEPREFIX="$1" timeout 30 env LC_ALL=ja_JP.UTF-8 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' \
        /v "$face" /t REG_SZ /d "$JAPANESE_FONT" /f >>"$1.boot.log" 2>&1 || return 1
    done
  else
    echo "note: the font $JAPANESE_FONT is not installed (fonts-ipafont-gothic): Japanese texts may not show"
  fi
  WINEPREFIX="$1" timeout 30 wineserver -w
  [ -d "$1/drive_c/windows/system32" ]
}

# new_prefix DIR: a fresh 32-bit Wine prefix in DIR (removed first), ready for programs: a copy of the
# template that the fixture test prepared ($OSLNK_WINE_TEMPLATE), else one made now.
new_prefix() {
  rm -rf "$1"
  mkdir -p "$(dirname "$1")"
  wine_env
  export WINEPREFIX="$1"
  local template=${OSLNK_WINE_TEMPLATE:-}
  if [ -n "$template" ] && [ -f "$template/system.reg" ] && [ -f "$template.version" ] &&
    [ "$(cat "$template.version")" = "$(prefix_version)" ]; then
    cp -a "$template" "$1" || fail "cannot copy the prefix template"
  else
    make_prefix "$1" || skip "wineboot failed (is wine32 installed?)"
  fi
}

# Wine with a Japanese ANSI code page, as on the machines the programs are for (their texts are Shift-JIS).
# Through env, so that the shell itself never switches to a locale the host may lack.
wine() {
  env LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 wine "$@"
}

# screenshot FILE.png [WINDOW]: saves the virtual display (or one window) as PNG and names the file.
screenshot() {
  command -v xwd >/dev/null 2>&1 && command -v xwdtopnm >/dev/null 2>&1 && command -v pnmtopng >/dev/null 2>&1 || {
    echo "note: no screenshot of $1 (xwd and netpbm are not installed)"
    return 0
  }
  local target=(-root)
  [ -n "${2:-}" ] && target=(-id "$2")
  # Let the window paint first.
  sleep 0.5
  if xwd -silent "${target[@]}" | xwdtopnm 2>/dev/null | pnmtopng >"$1" 2>/dev/null; then
    echo "screenshot: $1"
  else
    echo "note: the screenshot $1 failed"
    rm -f "$1"
  fi
}

# The registry as the prefix saved it: the server saves it when it ends, which it does a moment after the
# last program of the prefix.
flush_registry() {
  timeout 30 wineserver -w
}

# regfile ROOT: the file the prefix saves the root in (HKLM in system.reg, HKCU in user.reg).
regfile() { [ "$1" = HKCU ] && echo "$WINEPREFIX/user.reg" || echo "$WINEPREFIX/system.reg"; }

# reg_has ROOT PATH: whether the saved registry has the key (names compared without case, as Windows does).
reg_has() {
  local key=${2//\\/\\\\}
  grep -qiF -e "[$key]" -e "[$key\\\\" "$(regfile "$1")"
}

# reg_value ROOT PATH NAME: the saved value as it stands in the file ("text" with doubled backslashes, ...).
reg_value() {
  local key name
  key=$(printf '[%s]' "${2//\\/\\\\}" | tr 'A-Z' 'a-z')
  name=$(printf '"%s"=' "$3" | tr 'A-Z' 'a-z')
  # Through the environment: awk -v would undo the doubled backslashes.
  KEY=$key NAME=$name awk '
    BEGIN { key = ENVIRON["KEY"]; name = ENVIRON["NAME"] }
    /^\[/ { l = tolower($0); inside = index(l, key) == 1 && (length(l) == length(key) || substr(l, length(key) + 1, 1) == " "); next }
    inside && index(tolower($0), name) == 1 { print substr($0, length(name) + 1); exit }' "$(regfile "$1")"
}

# Runs a command of the prefix quietly (wine reg, ...).
winecmd() {
  wine "$@" 2>/dev/null
}

# wait_window REGEX [SECONDS]: prints the id of the first visible window whose name matches, or fails.
wait_window() {
  local id
  id=$(LC_ALL=C timeout "${2:-20}" xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1)
  [ -n "$id" ] || return 1
  echo "$id"
}

# wait_gone ID [SECONDS]: waits until the window no longer exists.
wait_gone() {
  local n=0
  while LC_ALL=C xdotool getwindowname "$1" >/dev/null 2>&1; do
    n=$((n + 1))
    [ $n -gt $((${2:-10} * 10)) ] && return 1
    sleep 0.1
  done
  return 0
}

# press ID KEY: gives the window the focus and types KEY there.
press() {
  LC_ALL=C xdotool windowfocus "$1" >/dev/null 2>&1
  # Let the window settle: the dialog manager handles keys once its focus is in place.
  sleep 0.3
  LC_ALL=C xdotool key "$2"
}

window_name() {
  LC_ALL=C xdotool getwindowname "$1" 2>/dev/null
}

# pass MESSAGE: ends the test as passed, stopping the prefix's server and removing the prefix (some hundred
# megabytes). A failed test keeps its prefix for a look; the next run starts afresh anyway.
pass() {
  timeout 20 wineserver -k >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
  echo "PASSED: $*"
  exit 0
}
