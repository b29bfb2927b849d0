// oslnkun.exe's entry point. The program needs nothing of a C runtime's start-up: it reads no command line,
// has no static constructors and keeps no C library state, so the image's entry point runs the dialog and
// ends the process itself, and the image depends on no C runtime library.
#include <windows.h>

#include "removal_app.h"

// The image's own base address, which is its instance handle; set by the linker.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void OslnkunStart() {
  const HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
  ExitProcess(static_cast<UINT>(RemovalApp(instance).Run()));
}
