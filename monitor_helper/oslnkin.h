// The two exports of oslnkin, as the installer calls them (stdcall on Windows, exported undecorated).
#ifndef OSLNKIN_H
#define OSLNKIN_H

#include <windows.h>

#ifdef _WIN32
#define OSLNKIN_EXPORT  // the names and ordinals come from oslnkin.def
#else
#define OSLNKIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Adds a port monitor: AddMonitorA(server, level, monitorInfo). Non-zero on success.
OSLNKIN_EXPORT BOOL WINAPI AddMonitor32(LPSTR server, DWORD level, LPBYTE monitorInfo);
// Deletes a port monitor: DeleteMonitorA(server, environment, monitorName). Non-zero on success.
OSLNKIN_EXPORT BOOL WINAPI DeleteMonitor32(LPSTR server, LPSTR environment, LPSTR monitorName);

#ifdef __cplusplus
}
#endif

#endif
