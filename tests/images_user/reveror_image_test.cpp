// Checks of the shipped port monitor reveror.dll: the spooler's two entry points and its imports.
#include <gtest/gtest.h>

#include "images_test_support.h"
#include "pe_image.h"

namespace images {
namespace {

class ReverorImage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = BuiltImage("port_monitor/reveror.dll");
    if (!path_) GTEST_SKIP() << "reveror.dll not built in " << WindowsBuildDir();
    image_.emplace(PeImage::Load(*path_));
  }
  std::optional<std::string> path_;
  std::optional<PeImage> image_;
};

// The spooler finds the monitor by these undecorated names: InitializeMonitorEx (Windows 98) and
// InitializePrintMonitor2 (NT-style spoolers, Wine's).
TEST_F(ReverorImage, IsA32BitDllExportingBothSpoolerEntryPointsUndecorated) {
  EXPECT_EQ(image_->Machine(), 0x14C);
  EXPECT_TRUE(image_->IsDll());
  EXPECT_EQ(image_->ExportDirectoryName(), "reveror.dll");
  const std::vector<Export>& exports = image_->Exports();
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(exports[0].name, "InitializeMonitorEx");
  EXPECT_EQ(exports[1].name, "InitializePrintMonitor2");
  EXPECT_NE(exports[0].rva, exports[1].rva);
}

// Every function the monitor imports: the registry reads of the cables' keys and the port key it keeps, and
// the overlapped device I/O of a job with its time-out and cancel. Each exists in Windows 98's kernel32 and
// advapi32; no C runtime.
TEST_F(ReverorImage, ImportsOnlyRegistryAndOverlappedDeviceIoForWindows98) {
  ExpectImportsOnly(*image_, *path_,
                    {"advapi32.dll!RegOpenKeyExA", "advapi32.dll!RegCreateKeyExA", "advapi32.dll!RegEnumKeyExA",
                     "advapi32.dll!RegQueryValueExA", "advapi32.dll!RegCloseKey", "kernel32.dll!CreateFileA",
                     "kernel32.dll!WriteFile", "kernel32.dll!ReadFile", "kernel32.dll!GetOverlappedResult",
                     "kernel32.dll!CancelIo", "kernel32.dll!CreateEventA", "kernel32.dll!ResetEvent",
                     "kernel32.dll!WaitForSingleObject", "kernel32.dll!CloseHandle", "kernel32.dll!GetLastError",
                     "kernel32.dll!SetLastError"});
  ExpectWindows98Version(*image_);
}

}  // namespace
}  // namespace images
