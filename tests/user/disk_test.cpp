#include "user/disk.h"

#include <gtest/gtest.h>

#include "user/codepage.h"
#include "user_fixture.h"

namespace {

using Disk = w98test::UserMachine;

TEST_F(Disk, MapsDosPathsCaseInsensitivelyOntoTheFolder) {
  ASSERT_TRUE(disk->writeFile("C:\\WINDOWS\\SYSTEM\\Oslnk.sys", "driver"));
  EXPECT_TRUE(std::filesystem::exists(root / "WINDOWS" / "SYSTEM" / "Oslnk.sys"));
  EXPECT_EQ(disk->readFile("c:/windows/system/OSLNK.SYS"), "driver");
  EXPECT_EQ(disk->hostPath("C:\\windows\\SYSTEM\\new.txt"), root / "WINDOWS" / "SYSTEM" / "new.txt");
  EXPECT_EQ(w98::Disk::canonical("c:\\WINDOWS\\.\\SYSTEM\\..\\inf\\"), "C:\\WINDOWS\\inf");
  EXPECT_EQ(w98::Disk::canonical("C:\\..\\..\\x"), "C:\\x") << "nothing climbs above the drive";
  EXPECT_EQ(w98::Disk::canonical("D:\\x"), std::nullopt);
  EXPECT_EQ(w98::Disk::canonical("C:\\a|b"), std::nullopt);
  EXPECT_FALSE(disk->writeFile("C:\\bad?name", "x"));
  EXPECT_EQ(disk->list("C:\\WINDOWS"), std::vector<std::string>{"SYSTEM"});
}

// Code page 932: 表 is 0x95 0x5C, ポ 0x83 0x7C ('|' as trail byte), ア 0x83 0x41 and ッ 0x83 0x61 differ only
// where a single-byte letter would fold.
TEST_F(Disk, ReadsNamesAsCodePage932Characters) {
  const std::string hyo = "\x95\x5C", po = "\x83\x7C", a = "\x83\x41", tsu = "\x83\x61";
  ASSERT_TRUE(disk->writeFile("C:\\MEDIA\\" + hyo + "\\" + po + ".txt", "in the folder 表"));
  EXPECT_EQ(disk->list("C:\\MEDIA"), std::vector<std::string>{hyo});
  EXPECT_EQ(w98::Disk::canonical("C:\\MEDIA\\" + hyo + "x"), "C:\\MEDIA\\" + hyo + "x");
  ASSERT_TRUE(disk->writeFile("C:\\" + a, "a"));
  ASSERT_TRUE(disk->writeFile("C:\\" + tsu, "tsu"));
  EXPECT_EQ(disk->readFile("C:\\" + a), "a");
  EXPECT_EQ(IsDBCSLeadByte(0x95), TRUE);
  EXPECT_EQ(IsDBCSLeadByte(0x5C), FALSE);
}

TEST_F(Disk, DeleteFailsWithTheWin32Reasons) {
  disk->writeFile("C:\\WINDOWS\\SYSTEM\\a.dll", "a");
  EXPECT_EQ(disk->deleteFile("C:\\WINDOWS\\SYSTEM\\missing.dll"), w98::Disk::kFileNotFound);
  EXPECT_EQ(disk->deleteFile("C:\\WINDOWS\\NOWHERE\\missing.dll"), w98::Disk::kPathNotFound);
  EXPECT_EQ(disk->deleteFile("C:\\WINDOWS\\SYSTEM"), w98::Disk::kAccessDenied) << "a folder";
  EXPECT_EQ(disk->deleteFile("C:\\x<y"), w98::Disk::kInvalidName);
  EXPECT_EQ(disk->deleteFile("C:\\" + std::string(300, 'a')), w98::Disk::kFilenameTooLong);

  ASSERT_EQ(disk->setAttributes("C:\\WINDOWS\\SYSTEM\\a.dll", w98::Disk::kReadOnly), w98::Disk::kOk);
  EXPECT_EQ(disk->deleteFile("C:\\WINDOWS\\SYSTEM\\a.dll"), w98::Disk::kAccessDenied);
  ASSERT_EQ(disk->setAttributes("C:\\WINDOWS\\SYSTEM\\a.dll", w98::Disk::kNormal), w98::Disk::kOk);
  disk->setInUse("c:\\windows\\system\\A.DLL", true);
  EXPECT_EQ(disk->deleteFile("C:\\WINDOWS\\SYSTEM\\a.dll"), w98::Disk::kSharingViolation);
  disk->setInUse("C:\\WINDOWS\\SYSTEM\\a.dll", false);
  EXPECT_EQ(disk->deleteFile("C:\\WINDOWS\\SYSTEM\\a.dll"), w98::Disk::kOk);
  EXPECT_FALSE(disk->exists("C:\\WINDOWS\\SYSTEM\\a.dll"));
}

TEST_F(Disk, AttributesKeepReadOnlyInTheFileAndOtherBitsBeside) {
  disk->writeFile("C:\\f.txt", "x");
  uint32_t err = 99;
  EXPECT_EQ(disk->attributes("C:\\f.txt", err), w98::Disk::kNormal);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(disk->attributes("C:\\WINDOWS", err), w98::Disk::kDirectory);
  ASSERT_EQ(disk->setAttributes("C:\\f.txt", w98::Disk::kReadOnly | w98::Disk::kHidden | w98::Disk::kArchive), 0u);
  EXPECT_EQ(disk->attributes("C:\\F.TXT", err), w98::Disk::kReadOnly | w98::Disk::kHidden | w98::Disk::kArchive);
  // Read-only is the file's own mode: another Disk over the same folder (a reboot) sees it.
  w98::Disk again(root);
  EXPECT_EQ(again.attributes("C:\\f.txt", err) & w98::Disk::kReadOnly, w98::Disk::kReadOnly);
  EXPECT_EQ(disk->attributes("C:\\nope.txt", err), w98::Disk::kInvalidAttributes);
  EXPECT_EQ(err, w98::Disk::kFileNotFound);
  EXPECT_EQ(disk->setAttributes("C:\\no\\nope.txt", 0), w98::Disk::kPathNotFound);
  // Setting up a read-only file's content keeps it read-only.
  ASSERT_TRUE(disk->writeFile("C:\\f.txt", "y"));
  EXPECT_EQ(disk->readFile("C:\\f.txt"), "y");
  EXPECT_EQ(disk->attributes("C:\\f.txt", err) & w98::Disk::kReadOnly, w98::Disk::kReadOnly);
}

TEST_F(Disk, MoveReplacesOnlyWhenAskedAndHonoursUse) {
  disk->writeFile("C:\\a.txt", "A");
  disk->writeFile("C:\\b.txt", "B");
  EXPECT_EQ(disk->moveFile("C:\\a.txt", "C:\\b.txt", false), w98::Disk::kFileExists);
  disk->setInUse("C:\\b.txt", true);
  EXPECT_EQ(disk->moveFile("C:\\a.txt", "C:\\b.txt", true), w98::Disk::kSharingViolation);
  disk->setInUse("C:\\b.txt", false);
  EXPECT_EQ(disk->moveFile("C:\\a.txt", "C:\\B.TXT", true), w98::Disk::kOk);
  EXPECT_EQ(disk->readFile("C:\\b.txt"), "A");
  EXPECT_FALSE(disk->exists("C:\\a.txt"));
  EXPECT_EQ(disk->moveFile("C:\\a.txt", "C:\\c.txt", true), w98::Disk::kFileNotFound);
  EXPECT_EQ(disk->moveFile("C:\\b.txt", "C:\\nodir\\c.txt", true), w98::Disk::kPathNotFound);
}

TEST(CodePage, Cp932ConvertsBothWaysAndMarksBadBytes) {
  const std::string sjis = "\x83\x76\x83\x8A\x83\x93\x83\x5E USB";
  EXPECT_EQ(w98::cp932ToUtf8(sjis), "プリンタ USB");
  EXPECT_EQ(w98::utf8ToCp932("プリンタ USB"), sjis);
  EXPECT_EQ(w98::cp932ToUtf8("\x81\x6D" "OK" "\x81\x6E"), "［OK］");
  // A lead byte at the end and an undefined byte cost only themselves.
  EXPECT_EQ(w98::cp932ToUtf8(std::string("A\xA0" "B\x83", 4)), "A\xEF\xBF\xBD" "B\xEF\xBF\xBD");
  EXPECT_EQ(w98::utf8ToCp932("x\xF0\x9F\x96\xA8y"), "x?y") << "no such character in the code page";
  EXPECT_EQ(w98::cp932ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
