#include "user_fixture.h"

namespace {

using Boot = w98test::UserMachine;

TEST_F(Boot, WininitRenameSectionRunsAndIsRenamed) {
  disk->writeFile("C:\\WINDOWS\\SYSTEM\\reveror.dll", "monitor");
  disk->writeFile("C:\\WINDOWS\\SYSTEM\\ro.dll", "read-only");
  disk->setAttributes("C:\\WINDOWS\\SYSTEM\\ro.dll", w98::Disk::kReadOnly);
  disk->writeFile("C:\\new.dll", "new");
  disk->writeFile("C:\\WINDOWS\\SYSTEM\\lib.dll", "old");
  disk->writeFile("C:\\WINDOWS\\WININIT.BAK", "previous");
  disk->writeFile("C:\\WINDOWS\\wininit.ini",
                  "[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\reveror.dll\r\nnul = C:\\WINDOWS\\SYSTEM\\ro.dll\r\n"
                  "C:\\WINDOWS\\SYSTEM\\lib.dll=C:\\new.dll\r\nNUL=C:\\absent.dll\r\n[other]\r\nNUL=C:\\new.dll\r\n");
  disk->setInUse("C:\\WINDOWS\\SYSTEM\\reveror.dll", true);  // held before the restart; nothing holds it at boot
  auto r = w98::runWininit(*disk);
  EXPECT_TRUE(r.ran);
  EXPECT_FALSE(disk->exists("C:\\WINDOWS\\SYSTEM\\reveror.dll"));
  EXPECT_FALSE(disk->exists("C:\\WINDOWS\\SYSTEM\\ro.dll"));
  EXPECT_EQ(disk->readFile("C:\\WINDOWS\\SYSTEM\\lib.dll"), "new");
  EXPECT_FALSE(disk->exists("C:\\new.dll"));
  EXPECT_EQ(r.done.size(), 3u);
  ASSERT_EQ(r.failed.size(), 1u);
  EXPECT_NE(r.failed[0].find("C:\\absent.dll"), std::string::npos);
  EXPECT_FALSE(disk->exists("C:\\WINDOWS\\WININIT.INI"));
  EXPECT_NE(disk->readFile("C:\\WINDOWS\\WININIT.BAK")->find("[rename]"), std::string::npos);
  // A second boot finds nothing to do.
  EXPECT_FALSE(w98::runWininit(*disk).ran);
}

}  // namespace
