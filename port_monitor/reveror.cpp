// reveror.dll: the spooler's port monitor "Molvex USB Cable Port Monitor" for the cable's ports KVUSB<n>.
// Windows 98's spooler enters through InitializeMonitorEx (an ANSI MONITOR table); NT-style spoolers, Wine's
// among them, through InitializePrintMonitor2 (MONITOR2, wide strings, handle-based). Both tables lead to the
// same port logic in cable_port.cpp.
#include <windows.h>
#include <winspool.h>
// winsplp.h declares the NT form (wide strings, the NT MONITOR table); Windows 98 calls the ANSI form below.
#define InitializeMonitorEx InitializeMonitorExNt
#include <winsplp.h>
#undef InitializeMonitorEx

#include "bounded_text.h"
#include "cable_port.h"

namespace {

// Ports open at once: one handle per port, and a port of every possible cable.
const int kPortSlots = cable_port::kMaxPorts;

struct PortSlot {
  LONG inUse;
  cable_port::PortJob job;
};
PortSlot g_slots[kPortSlots];

// The slot a port handle names; NULL for anything that is not the handle of an open port. Compared for
// equality only: ordering a pointer against an array it does not point into is unspecified in C++.
PortSlot* SlotOf(HANDLE port) {
  for (int i = 0; i < kPortSlots; ++i) {
    if (port == static_cast<HANDLE>(&g_slots[i])) return g_slots[i].inUse ? &g_slots[i] : NULL;
  }
  return NULL;
}

BOOL OpenPortA(const char* name, HANDLE* handle) {
  if (!handle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *handle = NULL;
  for (int i = 0; i < kPortSlots; ++i) {
    if (InterlockedExchange(&g_slots[i].inUse, 1) != 0) continue;
    if (!cable_port::OpenPort(name, &g_slots[i].job)) {
      const DWORD error = GetLastError();
      InterlockedExchange(&g_slots[i].inUse, 0);
      SetLastError(error);
      return FALSE;
    }
    *handle = &g_slots[i];
    return TRUE;
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

// A wide port name as ANSI; FALSE for one too long or with a character no port name has.
BOOL NarrowName(const WCHAR* wide, char* name, int size) {
  if (!wide) return FALSE;
  user_kit::Text text(name, size);
  for (int i = 0; wide[i]; ++i) {
    if (wide[i] > 0x7F) return FALSE;
    const char c = static_cast<char>(wide[i]);
    if (text.AppendChars(&c, 1).Overflowed()) return FALSE;
  }
  return TRUE;
}

BOOL NotSupported() {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL BadHandle() {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

// --- The handle-based functions, shared by both tables.

BOOL WINAPI StartDocPortCommon(HANDLE port, void*, DWORD, DWORD, BYTE*) {
  PortSlot* slot = SlotOf(port);
  return slot ? cable_port::StartDocPort(&slot->job) : BadHandle();
}

BOOL WINAPI WritePortCommon(HANDLE port, BYTE* buffer, DWORD size, DWORD* written) {
  PortSlot* slot = SlotOf(port);
  if (!slot) {
    if (written) *written = 0;
    return BadHandle();
  }
  return cable_port::WritePort(&slot->job, buffer, size, written);
}

BOOL WINAPI ReadPortCommon(HANDLE port, BYTE* buffer, DWORD size, DWORD* read) {
  PortSlot* slot = SlotOf(port);
  if (!slot) {
    if (read) *read = 0;
    return BadHandle();
  }
  return cable_port::ReadPort(&slot->job, buffer, size, read);
}

BOOL WINAPI EndDocPortCommon(HANDLE port) {
  PortSlot* slot = SlotOf(port);
  return slot ? cable_port::EndDocPort(&slot->job) : BadHandle();
}

BOOL WINAPI ClosePortCommon(HANDLE port) {
  PortSlot* slot = SlotOf(port);
  if (!slot) return BadHandle();
  cable_port::ClosePort(&slot->job);
  InterlockedExchange(&slot->inUse, 0);
  return TRUE;
}

BOOL WINAPI SetPortTimeOutsCommon(HANDLE port, COMMTIMEOUTS* timeouts, DWORD) {
  PortSlot* slot = SlotOf(port);
  if (!slot) return BadHandle();
  // The printer's transmission retry, as the spooler passes it: the time-out of each write request.
  if (timeouts && timeouts->WriteTotalTimeoutConstant) slot->job.timeoutMs = timeouts->WriteTotalTimeoutConstant;
  return TRUE;
}

// --- Windows 98: ANSI strings, the MONITOR table of the Windows 95/98 spooler (no Xcv entries: that table is
// shorter than the NT one, so nothing past SetPortTimeOuts may be written).

struct Monitor9x {
  BOOL(WINAPI* pfnEnumPorts)(LPSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
  BOOL(WINAPI* pfnOpenPort)(LPSTR, PHANDLE);
  BOOL(WINAPI* pfnOpenPortEx)(LPSTR, LPSTR, PHANDLE, void*);
  BOOL(WINAPI* pfnStartDocPort)(HANDLE, LPSTR, DWORD, DWORD, LPBYTE);
  BOOL(WINAPI* pfnWritePort)(HANDLE, LPBYTE, DWORD, LPDWORD);
  BOOL(WINAPI* pfnReadPort)(HANDLE, LPBYTE, DWORD, LPDWORD);
  BOOL(WINAPI* pfnEndDocPort)(HANDLE);
  BOOL(WINAPI* pfnClosePort)(HANDLE);
  BOOL(WINAPI* pfnAddPort)(LPSTR, HWND, LPSTR);
  BOOL(WINAPI* pfnAddPortEx)(LPSTR, DWORD, LPBYTE, LPSTR);
  BOOL(WINAPI* pfnConfigurePort)(LPSTR, HWND, LPSTR);
  BOOL(WINAPI* pfnDeletePort)(LPSTR, HWND, LPSTR);
  BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD);
  BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE, LPCOMMTIMEOUTS, DWORD);
};

BOOL WINAPI EnumPorts9x(LPSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
  return cable_port::EnumPorts<char>(level, buffer, size, needed, returned);
}
BOOL WINAPI OpenPort9x(LPSTR name, PHANDLE handle) { return OpenPortA(name, handle); }
BOOL WINAPI StartDocPort9x(HANDLE port, LPSTR printer, DWORD job, DWORD level, LPBYTE info) {
  return StartDocPortCommon(port, printer, job, level, info);
}
BOOL WINAPI AddPort9x(LPSTR, HWND, LPSTR) { return NotSupported(); }
BOOL WINAPI AddPortEx9x(LPSTR, DWORD, LPBYTE, LPSTR) { return NotSupported(); }
BOOL WINAPI ConfigurePort9x(LPSTR, HWND, LPSTR) { return NotSupported(); }
BOOL WINAPI DeletePort9x(LPSTR, HWND, LPSTR) { return NotSupported(); }
BOOL WINAPI GetPrinterDataFromPort9x(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD) {
  return NotSupported();
}

// --- NT-style spoolers: MONITOR2, wide strings.

BOOL WINAPI EnumPorts2(HANDLE, LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
  return cable_port::EnumPorts<WCHAR>(level, buffer, size, needed, returned);
}
BOOL WINAPI OpenPort2(HANDLE, LPWSTR wide, PHANDLE handle) {
  char name[cable_port::kPortNameSize];
  if (!NarrowName(wide, name, sizeof name)) {
    if (handle) *handle = NULL;
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  return OpenPortA(name, handle);
}
BOOL WINAPI StartDocPort2(HANDLE port, LPWSTR printer, DWORD job, DWORD level, LPBYTE info) {
  return StartDocPortCommon(port, printer, job, level, info);
}
BOOL WINAPI AddPort2(HANDLE, LPWSTR, HWND, LPWSTR) { return NotSupported(); }
BOOL WINAPI AddPortEx2(HANDLE, LPWSTR, DWORD, LPBYTE, LPWSTR) { return NotSupported(); }
BOOL WINAPI ConfigurePort2(HANDLE, LPWSTR, HWND, LPWSTR) { return NotSupported(); }
BOOL WINAPI DeletePort2(HANDLE, LPWSTR, HWND, LPWSTR) { return NotSupported(); }
VOID WINAPI Shutdown2(HANDLE) {}

// Filled at run time: a constant table of function addresses would need relocations at load either way, and
// this keeps every entry next to the function it names.
MONITOR2 g_monitor2;

}  // namespace

extern "C" {

// Windows 98's spooler: fills its MONITOR table. The port keys of the cables present are kept at once, so that
// the spooler's port list shows them.
BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, Monitor9x* monitor) {
  if (!monitor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  monitor->pfnEnumPorts = EnumPorts9x;
  monitor->pfnOpenPort = OpenPort9x;
  monitor->pfnOpenPortEx = NULL;  // for language monitors only
  monitor->pfnStartDocPort = StartDocPort9x;
  monitor->pfnWritePort = WritePortCommon;
  monitor->pfnReadPort = ReadPortCommon;
  monitor->pfnEndDocPort = EndDocPortCommon;
  monitor->pfnClosePort = ClosePortCommon;
  monitor->pfnAddPort = AddPort9x;
  monitor->pfnAddPortEx = AddPortEx9x;
  monitor->pfnConfigurePort = ConfigurePort9x;
  monitor->pfnDeletePort = DeletePort9x;
  monitor->pfnGetPrinterDataFromPort = GetPrinterDataFromPort9x;
  monitor->pfnSetPortTimeOuts = SetPortTimeOutsCommon;
  cable_port::CablePortInfo ports[cable_port::kMaxPorts];
  const int count = cable_port::FindCablePorts(ports, cable_port::kMaxPorts);
  for (int i = 0; i < count; ++i) cable_port::KeepPortKey(ports[i].name);
  return TRUE;
}

LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitorHandle) {
  if (!init || !monitorHandle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  user_kit::Fill(&g_monitor2, sizeof g_monitor2);
  const BYTE* raw = reinterpret_cast<const BYTE*>(&g_monitor2);
  // The Windows 2000 size: the table up to pfnShutdown, which every NT-style spooler since knows.
  g_monitor2.cbSize = reinterpret_cast<const BYTE*>(&g_monitor2.pfnShutdown) - raw + sizeof g_monitor2.pfnShutdown;
  g_monitor2.pfnEnumPorts = EnumPorts2;
  g_monitor2.pfnOpenPort = OpenPort2;
  g_monitor2.pfnStartDocPort = StartDocPort2;
  g_monitor2.pfnWritePort = WritePortCommon;
  g_monitor2.pfnReadPort = ReadPortCommon;
  g_monitor2.pfnEndDocPort = EndDocPortCommon;
  g_monitor2.pfnClosePort = ClosePortCommon;
  g_monitor2.pfnAddPort = AddPort2;
  g_monitor2.pfnAddPortEx = AddPortEx2;
  g_monitor2.pfnConfigurePort = ConfigurePort2;
  g_monitor2.pfnDeletePort = DeletePort2;
  g_monitor2.pfnSetPortTimeOuts = SetPortTimeOutsCommon;
  g_monitor2.pfnShutdown = Shutdown2;
  cable_port::CablePortInfo ports[cable_port::kMaxPorts];
  const int count = cable_port::FindCablePorts(ports, cable_port::kMaxPorts);
  for (int i = 0; i < count; ++i) cable_port::KeepPortKey(ports[i].name);
  *monitorHandle = &g_monitor2;
  return &g_monitor2;
}

// The image's entry point (no C runtime start-up runs before it).
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

}  // extern "C"
