// oslnkun.exe: a GUI program; it reads no command line.
#include <windows.h>

#include "removal_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return RemovalApp(instance).Run(); }
