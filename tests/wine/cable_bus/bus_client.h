// What the Wine test programs share: "ok"/"FAIL" check lines, waiting for a device name, and the cable bus's
// control device (installing the bus, calling it, reading what a printer received). Header only: each test
// program is one source file, built by its own command.
#pragma once

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bus_control.h"

namespace bus_client {

inline int failures = 0;

inline void check(bool ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf(ok ? "ok    " : "FAIL  ");
  std::vprintf(format, args);
  std::printf("\n");
  std::fflush(stdout);
  va_end(args);
  if (!ok) ++failures;
}

[[noreturn]] inline void fatal(const char* what) {
  std::printf("FAIL  %s (error %lu)\n", what, GetLastError());
  std::fflush(stdout);
  std::exit(1);
}

// Install is asynchronous under Plug and Play: names appear some milliseconds after the call.
inline HANDLE openWhenThere(const char* path, DWORD flags = 0, DWORD ms = 20000) {
  for (DWORD waited = 0;; waited += 10) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE || waited >= ms) return h;
    Sleep(10);
  }
}

// The bus's control device, opened on first use.
inline HANDLE bus() {
  static HANDLE h = INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) h = openWhenThere(BUS_CONTROL_DOS_NAME);
  if (h == INVALID_HANDLE_VALUE) fatal("opening the bus's control device");
  return h;
}

inline bool busCall(DWORD code, const void* in, DWORD inLength, void* out = nullptr, DWORD outLength = 0,
                    DWORD* got = nullptr) {
  DWORD n = 0;
  BOOL ok = DeviceIoControl(bus(), code, const_cast<void*>(in), inLength, out, outLength, &n, nullptr);
  if (got) *got = n;
  return ok != FALSE;
}

// Everything the printer in `slot` has received.
inline std::vector<unsigned char> printed(unsigned slot) {
  std::vector<unsigned char> all, chunk(65536);
  for (;;) {
    BusReadRequest r{slot, unsigned(all.size())};
    std::memcpy(chunk.data(), &r, sizeof r);
    DWORD got = 0;
    if (!busCall(IOCTL_BUS_PRINTED, chunk.data(), sizeof r, chunk.data(), DWORD(chunk.size()), &got))
      fatal("reading what the printer received");
    if (got == 0) return all;
    all.insert(all.end(), chunk.begin(), chunk.begin() + got);
  }
}

// A plug or device-ID request for `slot`; a device ID the bus cannot hold whole ends the program.
inline BusPlugRequest printerRequest(unsigned slot, const char* deviceId) {
  BusPlugRequest r{};
  r.Slot = slot;
  if (std::strlen(deviceId) >= sizeof r.DeviceId) fatal("a device ID longer than the bus takes");
  std::strcpy(r.DeviceId, deviceId);
  return r;
}

// Copies the driver's INF into the INF folder (unless `driverInf` is null: setup offered it already), then
// registers the root-enumerated bus, installs it from `busInf` and opens its control device. The driver's INF
// comes first: it must be in the INF folder before the first cable's devnode appears.
inline void install(const char* driverInf, const char* busInf) {
  if (driverInf) {
    char copied[MAX_PATH];
    if (!SetupCopyOEMInfA(driverInf, nullptr, SPOST_PATH, 0, copied, sizeof copied, nullptr, nullptr))
      fatal("SetupCopyOEMInfA for the driver's INF");
    std::printf("      driver INF copied to %s\n", copied);
  }
  GUID system = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  HDEVINFO set = SetupDiCreateDeviceInfoList(&system, nullptr);
  if (set == INVALID_HANDLE_VALUE) fatal("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {sizeof device};
  if (!SetupDiCreateDeviceInfoA(set, "System", &system, nullptr, nullptr, DICD_GENERATE_ID, &device))
    fatal("SetupDiCreateDeviceInfoA for the bus");
  static const char hardwareIds[] = "root\\oslnkbus\0";
  if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareIds),
                                         sizeof hardwareIds))
    fatal("SPDRP_HARDWAREID of the bus");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) fatal("DIF_REGISTERDEVICE of the bus");
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\oslnkbus", busInf, INSTALLFLAG_FORCE, &reboot))
    fatal("UpdateDriverForPlugAndPlayDevicesA for the bus");
  bus();
  check(true, "bus installed, %s open", BUS_CONTROL_DOS_NAME);
}

}  // namespace bus_client
