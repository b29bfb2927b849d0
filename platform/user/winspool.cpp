// winspool: the monitor calls over the session's spooler.
#include <winspool.h>

#include "user/session_internal.h"

extern "C" {

BOOL WINAPI AddMonitorA(LPSTR pName, DWORD Level, LPBYTE pMonitors) {
  auto& spooler = w98::UserSession::current().spooler();
  uint32_t err;
  if (Level != 2 || !pMonitors) {
    // A wrong level, or no record: the spooler refuses it (invalid level, or a record without a name).
    err = spooler.addMonitor(pName, Level, nullptr, nullptr, nullptr);
  } else {
    const auto* info = reinterpret_cast<const MONITOR_INFO_2A*>(pMonitors);
    err = spooler.addMonitor(pName, Level, info->pName, info->pEnvironment, info->pDLLName);
  }
  if (err) SetLastError(err);
  return err == 0;
}

BOOL WINAPI DeleteMonitorA(LPSTR pName, LPSTR pEnvironment, LPSTR pMonitorName) {
  uint32_t err = w98::UserSession::current().spooler().deleteMonitor(pName, pEnvironment, pMonitorName);
  if (err) SetLastError(err);
  return err == 0;
}

}  // extern "C"
