#!/usr/bin/env bash
# Builds the Wine fixture's images with mingw-w64 (i686): oslnkbus_sim.dll (the simulated cables and the host
# target's traffic log, whose pcap writer it shares, with the C++ runtime linked in), oslnkbus.sys (the bus
# driver, importing only the kernel, the HAL and that DLL) and cable_probe.exe (the Win32 test program). Usage: build.sh SOURCE_ROOT OUT_DIR
set -euo pipefail
src=$1 out=$2
here=$src/tests/wine/cable_bus
mkdir -p "$out"
# The posix thread model: the simulation uses std::mutex.
cxx=i686-w64-mingw32-g++-posix
common=(-std=c++20 -O1 -Wall -Werror -I"$src" -I"$here")

$cxx "${common[@]}" -shared -o "$out/oslnkbus_sim.dll" "$here/bus_sim.cpp" "$src/sim/cable.cpp" "$src/sim/printer1284.cpp" \
  "$src/platform/usb/traffic_log.cpp" \
  -static -Wl,--out-implib,"$out/liboslnkbus_sim.a"
$cxx "${common[@]}" -D_X86_ -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset \
  -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector -fno-asynchronous-unwind-tables \
  -shared -nostdlib -o "$out/oslnkbus.sys" "$here/bus_kernel.cpp" \
  -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 "$out/liboslnkbus_sim.a" -lntoskrnl -lhal -lgcc
$cxx "${common[@]}" -o "$out/cable_probe.exe" "$here/cable_probe.cpp" -static -lsetupapi -lnewdev
