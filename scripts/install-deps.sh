#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# As root it installs; otherwise it only reports what is missing, and the build skips what needs it.
set -u

# Packages of the host architecture.
HOST_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev mingw-w64 binutils-mingw-w64-i686
               clang libclang-rt-14-dev tshark xvfb xdotool
               # The Wine tests run the programs as a Japanese Windows 98 does (ja_JP, code page 932) with a
               # Japanese font, and save screenshots of their windows (xwd, then netpbm to PNG).
               locales fonts-ipafont-gothic x11-apps netpbm
               # make figures writes its pages with a Python script.
               python3
               # The user-space driver on libusb, its tests over emulated usbfs nodes (umockdev), and the CUPS
               # backend with its tests through a private cupsd.
               libusb-1.0-0-dev umockdev libumockdev-dev libcups2-dev cups)
# 32-bit packages (Wine runs the shipping i686 images).
I386_PACKAGES=(wine32:i386 wine)

missing=()
for p in "${HOST_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
need_i386=0
for p in "${I386_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || { missing+=("$p"); need_i386=1; }
done

# The ja_JP.UTF-8 locale (Wine takes its ANSI code page, 932, from it).
ja_locale_missing() { ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; }
generate_ja_locale() {
  grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/tmp/oslnk-locale.log 2>&1 || { echo "install-deps: locale-gen failed; see /tmp/oslnk-locale.log"; exit 1; }
}

if [ ${#missing[@]} -eq 0 ]; then
  if ja_locale_missing; then
    [ "$(id -u)" -eq 0 ] && generate_ja_locale || echo "install-deps: not root; the ja_JP.UTF-8 locale is not generated"
  fi
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: not root; missing packages are not installed: ${missing[*]}"
  echo "install-deps: the parts of the build and the tests that need them are skipped"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if [ $need_i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
apt-get update -qq >/dev/null
# tshark asks whether non-root users may capture; the default answer is fine.
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/tmp/oslnk-apt.log 2>&1 || {
  echo "install-deps: apt-get failed; see /tmp/oslnk-apt.log"; tail -n 20 /tmp/oslnk-apt.log; exit 1; }
ja_locale_missing && generate_ja_locale
exit 0
