// oslnkin: the installer's door to the print spooler for the cable's port monitor.
// Each export hands its three arguments to the spooler unchanged and returns its result unchanged. The
// last-error value is read and dropped after the call, so that it stays what the spooler left there and the
// caller can read the reason of a failure itself.
#include "oslnkin.h"

#include <winspool.h>

extern "C" {

OSLNKIN_EXPORT BOOL WINAPI AddMonitor32(LPSTR server, DWORD level, LPBYTE monitorInfo) {
  const BOOL result = AddMonitorA(server, level, monitorInfo);
  (void)GetLastError();
  return result;
}

OSLNKIN_EXPORT BOOL WINAPI DeleteMonitor32(LPSTR server, LPSTR environment, LPSTR monitorName) {
  const BOOL result = DeleteMonitorA(server, environment, monitorName);
  (void)GetLastError();
  return result;
}

#ifdef _WIN32
// The image's entry point (no C runtime start-up runs before it). Nothing to set up or tear down: loading
// never fails on this library's account.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

}  // extern "C"
