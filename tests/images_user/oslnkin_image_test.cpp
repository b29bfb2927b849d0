// Checks of the shipped oslnkin.dll: its exports, export-directory name, imports and version.
#include <gtest/gtest.h>

#include <regex>

#include "images_test_support.h"
#include "pe_image.h"

namespace images {
namespace {

constexpr uint16_t kMachineI386 = 0x14C;

class OslnkinImage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = BuiltImage("monitor_helper/oslnkin.dll");
    if (!path_) GTEST_SKIP() << "oslnkin.dll not built in " << WindowsBuildDir();
    image_.emplace(PeImage::Load(*path_));
  }
  std::optional<std::string> path_;
  std::optional<PeImage> image_;
};

TEST_F(OslnkinImage, IsA32BitDll) {
  EXPECT_EQ(image_->Machine(), kMachineI386);
  EXPECT_TRUE(image_->IsDll());
}

TEST_F(OslnkinImage, ExportsExactlyTheTwoEntryPointsUndecoratedWithTheirOrdinals) {
  EXPECT_EQ(image_->ExportDirectoryName(), "oslnkin.dll");
  const std::vector<Export>& exports = image_->Exports();
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(exports[0].ordinal, 1u);
  EXPECT_EQ(exports[0].name, "AddMonitor32");
  EXPECT_EQ(exports[1].ordinal, 2u);
  EXPECT_EQ(exports[1].name, "DeleteMonitor32");
  EXPECT_NE(exports[0].rva, exports[1].rva);
}

// Every function the library imports: the two spooler calls it forwards to and the last-error read after
// them. It has no C runtime start-up, so nothing else; an import that Windows 98 lacks would stop the
// installer from loading the library at all.
TEST_F(OslnkinImage, ImportsOnlyTheSpoolerCallsAndTheLastErrorForWindows98) {
  ExpectImportsOnly(*image_, *path_,
                    {"winspool.drv!AddMonitorA", "winspool.drv!DeleteMonitorA", "kernel32.dll!GetLastError"});
  ExpectWindows98Version(*image_);
}

TEST_F(OslnkinImage, CarriesFileVersion1001) {
  const std::vector<const ResourceEntry*> versions = image_->FindResources(kVersionType);
  ASSERT_EQ(versions.size(), 1u);
  const FixedVersion v = ParseVersion(versions[0]->data);
  EXPECT_EQ((std::vector<uint16_t>{v.file[0], v.file[1], v.file[2], v.file[3]}), (std::vector<uint16_t>{1, 0, 0, 1}));
  EXPECT_EQ(v.fileType, 2u);  // VFT_DLL
  EXPECT_EQ(VersionString(versions[0]->data, "FileVersion"), "1, 0, 0, 1");
  EXPECT_EQ(VersionString(versions[0]->data, "OriginalFilename"), "oslnkin.dll");
}

TEST_F(OslnkinImage, ObjdumpReadsTheSameExports) {
  // A second reading by binutils, so that a fault of our own reader cannot hide a fault of the image.
  if (!HaveTool("i686-w64-mingw32-objdump")) GTEST_SKIP() << "i686-w64-mingw32-objdump not installed";
  const std::optional<std::string> dump = CommandOutput("i686-w64-mingw32-objdump -p '" + *path_ + "'");
  ASSERT_TRUE(dump.has_value());
  EXPECT_TRUE(std::regex_search(*dump, std::regex(R"(\nName\s+[0-9a-fA-F]+ oslnkin\.dll\n)")));
  EXPECT_TRUE(std::regex_search(*dump, std::regex(R"(\nOrdinal Base\s+1\n)")));
  EXPECT_NE(dump->find("] AddMonitor32\n"), std::string::npos);
  EXPECT_NE(dump->find("] DeleteMonitor32\n"), std::string::npos);
  EXPECT_EQ(dump->find("AddMonitor32@"), std::string::npos) << "decorated export name";
  EXPECT_EQ(dump->find("DeleteMonitor32@"), std::string::npos) << "decorated export name";
}

}  // namespace
}  // namespace images
