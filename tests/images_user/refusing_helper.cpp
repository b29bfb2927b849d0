// A stand-in for oslnkin.dll in the setup tests: its AddMonitor32 is the test program's TestAddMonitor32, so
// that a test acts at the moment setup adds the monitor, after the files and keys are written.
#include <windows.h>

extern "C" BOOL TestAddMonitor32(LPSTR server, DWORD level, LPBYTE monitorInfo);

extern "C" __attribute__((visibility("default"))) BOOL AddMonitor32(LPSTR server, DWORD level, LPBYTE monitorInfo) {
  return TestAddMonitor32(server, level, monitorInfo);
}
