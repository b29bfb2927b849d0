// oslnkset.exe's entry point: installs the package from the folder the program lies in (the installation
// media) and says in a message box what happened. Like oslnkun.exe it needs no C runtime's start-up.
#include <windows.h>

#include "product_setup.h"
#include "setup_texts.h"

namespace {
// Larger than any message, and kept off the stack of the entry point's frame.
char g_message[ProductSetup::kMessageSize];
}  // namespace

extern "C" void OslnksetStart() {
  // The media folder: the program's own path without its file name. A path that failed or was cut short
  // gives no folder, and setup then refuses rather than install from the current folder.
  char program[ProductSetup::kPathSize];
  char folder[ProductSetup::kPathSize];
  const DWORD n = GetModuleFileNameA(NULL, program, sizeof program);
  const bool known = n > 0 && n < sizeof program && MediaFolderOf(program, folder, sizeof folder);

  ProductSetup setup(known ? folder : NULL);
  const SetupResult result = setup.Install();
  ComposeSetupMessage(setup, result, g_message, sizeof g_message);
  MessageBoxA(NULL, g_message, OSLNKSET_TEXT_CAPTION,
              MB_OK | (result == kSetupDone ? MB_ICONINFORMATION : MB_ICONERROR));
  ExitProcess(static_cast<UINT>(result));
}
