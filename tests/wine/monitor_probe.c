/* Loads oslnkin.dll as the installer does and checks that both exports pass the spooler's answer through:
   the same result as calling the spooler directly, and the spooler's last error still readable afterwards.
   Prints one line per check; exit code 0 when every check held. */
#include <stdio.h>
#include <windows.h>
#include <winspool.h>

typedef BOOL(WINAPI *AddMonitor32Fn)(LPSTR, DWORD, LPBYTE);
typedef BOOL(WINAPI *DeleteMonitor32Fn)(LPSTR, LPSTR, LPSTR);

static int failures = 0;

static void check(int ok, const char *what, unsigned long got, unsigned long want) {
  printf("%s %s (got %lu, want %lu)\n", ok ? "PASS" : "FAIL", what, got, want);
  if (!ok) failures++;
}

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "oslnkin.dll";
  HMODULE dll = LoadLibraryA(path);
  if (!dll) {
    printf("FAIL cannot load %s (error %lu)\n", path, GetLastError());
    return 1;
  }
  AddMonitor32Fn add = (AddMonitor32Fn)GetProcAddress(dll, "AddMonitor32");
  DeleteMonitor32Fn del = (DeleteMonitor32Fn)GetProcAddress(dll, "DeleteMonitor32");
  check(add != NULL, "AddMonitor32 exported by name", add != NULL, 1);
  check(del != NULL, "DeleteMonitor32 exported by name", del != NULL, 1);
  if (!add || !del) return 1;
  check((FARPROC)add == GetProcAddress(dll, (LPCSTR)1), "ordinal 1 is AddMonitor32", 1, 1);
  check((FARPROC)del == GetProcAddress(dll, (LPCSTR)2), "ordinal 2 is DeleteMonitor32", 1, 1);

  char env[] = "Windows 4.0";
  char unknown[] = "Molvex USB Cable Port Monitor (not installed)";

  /* What the spooler itself says about an unknown monitor. */
  SetLastError(0xDEADBEEF);
  BOOL directResult = DeleteMonitorA(NULL, env, unknown);
  DWORD directError = GetLastError();

  SetLastError(0xDEADBEEF);
  BOOL result = del(NULL, env, unknown);
  DWORD error = GetLastError();
  check(result == 0, "DeleteMonitor32 of an unknown monitor returns 0", (unsigned long)result, 0);
  check(error == directError && error != 0xDEADBEEF && error != 0,
        "the spooler's error is still readable after DeleteMonitor32", error, directError);

  /* Null server and null environment reach the spooler as nulls. */
  SetLastError(0xDEADBEEF);
  directResult = DeleteMonitorA(NULL, NULL, unknown);
  directError = GetLastError();
  SetLastError(0xDEADBEEF);
  result = del(NULL, NULL, unknown);
  error = GetLastError();
  check(result == directResult && error == directError, "DeleteMonitor32 with null environment as the spooler",
        error, directError);

  /* A monitor whose library does not exist cannot be added; the reason stays readable. */
  char name[] = "Ostrolink probe monitor";
  char library[] = "no-such-monitor-library.dll";
  MONITOR_INFO_2A info = {name, env, library};
  SetLastError(0xDEADBEEF);
  directResult = AddMonitorA(NULL, 2, (LPBYTE)&info);
  directError = GetLastError();
  if (directResult) DeleteMonitorA(NULL, env, name);
  SetLastError(0xDEADBEEF);
  result = add(NULL, 2, (LPBYTE)&info);
  error = GetLastError();
  if (result) DeleteMonitorA(NULL, env, name);
  check(result == directResult, "AddMonitor32 returns what AddMonitorA returns", (unsigned long)result,
        (unsigned long)directResult);
  check(directResult || error == directError, "AddMonitor32 leaves the spooler's error readable", error, directError);

  /* A monitor the spooler can load goes in and out through the helper, under the name the caller gave. */
  char realName[] = "Ostrolink probe monitor 2";
  char realLibrary[] = "localspl.dll";
  MONITOR_INFO_2A real = {realName, env, realLibrary};
  const char *key = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Ostrolink probe monitor 2";
  HKEY h;
  result = add(NULL, 2, (LPBYTE)&real);
  check(result != 0, "AddMonitor32 adds a monitor the spooler accepts", (unsigned long)result, 1);
  LONG open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h);
  check(open == ERROR_SUCCESS, "the added monitor is registered under the caller's name", (unsigned long)open, 0);
  if (open == ERROR_SUCCESS) {
    char driver[64] = "";
    DWORD size = sizeof driver, type = 0;
    RegQueryValueExA(h, "Driver", NULL, &type, (LPBYTE)driver, &size);
    check(lstrcmpiA(driver, realLibrary) == 0, "the added monitor's library is the caller's", 0, 0);
    RegCloseKey(h);
  }
  result = del(NULL, env, realName);
  check(result != 0, "DeleteMonitor32 deletes it again", (unsigned long)result, 1);
  open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h);
  check(open != ERROR_SUCCESS, "the deleted monitor's key is gone", (unsigned long)open, 2);
  if (open == ERROR_SUCCESS) RegCloseKey(h);

  FreeLibrary(dll);
  printf("%s\n", failures ? "FAILED" : "ALL PASSED");
  return failures ? 1 : 0;
}
