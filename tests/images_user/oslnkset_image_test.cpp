// Checks of the shipped oslnkset.exe: a GUI program for Windows 98 that imports only the calls its setup makes.
#include <gtest/gtest.h>

#include <set>

#include "images_test_support.h"
#include "pe_image.h"

namespace images {
namespace {


// Every function the program may import, each an ANSI call that Windows 98 provides. The spooler is reached
// only through oslnkin.dll, loaded at run time.
const std::set<std::string> kOslnksetImports = {
    "kernel32.dll!GetModuleFileNameA", "kernel32.dll!GetSystemDirectoryA", "kernel32.dll!GetWindowsDirectoryA",
    "kernel32.dll!GetFileAttributesA", "kernel32.dll!SetFileAttributesA", "kernel32.dll!CreateDirectoryA",
    "kernel32.dll!CopyFileA",          "kernel32.dll!DeleteFileA",        "kernel32.dll!LoadLibraryA",
    "kernel32.dll!GetProcAddress",     "kernel32.dll!FreeLibrary",        "kernel32.dll!GetLastError",
    "kernel32.dll!SetLastError",       "kernel32.dll!ExitProcess",        "advapi32.dll!RegCreateKeyExA",
    "advapi32.dll!RegSetValueExA",     "advapi32.dll!RegOpenKeyExA",      "advapi32.dll!RegDeleteKeyA",
    "advapi32.dll!RegCloseKey",        "advapi32.dll!RegQueryValueExA",   "advapi32.dll!RegDeleteValueA",
    "user32.dll!MessageBoxA",          "kernel32.dll!IsDBCSLeadByte"};

TEST(OslnksetImage, IsAGuiProgramForWindows98ImportingOnlyWhatItCalls) {
  const auto path = BuiltImage("setup/oslnkset.exe");
  if (!path) GTEST_SKIP() << "oslnkset.exe not built in " << WindowsBuildDir();
  const PeImage image = PeImage::Load(*path);
  EXPECT_FALSE(image.IsDll());
  EXPECT_EQ(image.Subsystem(), kGuiSubsystem);
  ExpectWindows98Version(image);
  ExpectImportsOnly(image, *path, kOslnksetImports);
}

}  // namespace
}  // namespace images
