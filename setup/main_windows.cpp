// oslnkset.exe's entry point: installs the package from the folder the program lies in (the installation
// media) and says in a message box what happened. Like oslnkun.exe it needs no C runtime's start-up.
#include <windows.h>

#include "product_setup.h"
#include "setup_texts.h"

extern "C" void OslnksetStart() {
  // The media folder: the program's own path without its file name.
  char folder[ProductSetup::kPathSize];
  const DWORD n = GetModuleFileNameA(NULL, folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) folder[0] = '\0';
  int cut = 0;
  for (int i = 0; folder[i]; ++i) {
    if (folder[i] == '\\' || folder[i] == '/') cut = i;
  }
  folder[cut] = '\0';

  ProductSetup setup(folder);
  const SetupResult result = setup.Install();
  char text[2 * ProductSetup::kPathSize + 512];
  ComposeSetupMessage(setup, result, text, sizeof text);
  MessageBoxA(NULL, text, OSLNKSET_TEXT_CAPTION, MB_OK | (result == kSetupDone ? MB_ICONINFORMATION : MB_ICONERROR));
  ExitProcess(static_cast<UINT>(result));
}
