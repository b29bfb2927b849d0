#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# As root it installs; otherwise it only reports what is missing, and the build skips what needs it.
set -u

# Packages of the host architecture.
HOST_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev mingw-w64 binutils-mingw-w64-i686
               clang libclang-rt-14-dev tshark xvfb xdotool)
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

[ ${#missing[@]} -eq 0 ] && exit 0

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
exit 0
