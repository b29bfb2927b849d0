#include <windows.h>

#include <cstring>
#include <thread>

#include "user/profile.h"
#include "user_fixture.h"

namespace {

using Kernel32 = w98test::UserMachine;

TEST_F(Kernel32, DirectoriesFollowTheBufferRules) {
  char buf[260];
  EXPECT_EQ(GetSystemDirectoryA(buf, sizeof buf), 17u);
  EXPECT_STREQ(buf, "C:\\WINDOWS\\SYSTEM");
  EXPECT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 10u);
  EXPECT_STREQ(buf, "C:\\WINDOWS");
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(GetSystemDirectoryA(buf, 17), 18u) << "too small: the size needed, terminator included";
  EXPECT_EQ(buf[0], 'x');
  session->options().systemDirectory.reset();
  EXPECT_EQ(GetSystemDirectoryA(buf, sizeof buf), 0u);
}

TEST_F(Kernel32, FileCallsSetTheLastError) {
  disk->writeFile("C:\\WINDOWS\\SYSTEM\\dudirar.dll", "x");
  const char* path = "C:\\WINDOWS\\SYSTEM\\dudirar.dll";
  ASSERT_TRUE(SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  DWORD attrs = GetFileAttributesA(path);
  EXPECT_EQ(attrs, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(SetFileAttributesA(path, attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)));
  EXPECT_EQ(GetFileAttributesA(path), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE)) << "other bits kept";
  disk->setInUse(path, true);
  EXPECT_FALSE(DeleteFileA(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  disk->setInUse(path, false);
  EXPECT_TRUE(DeleteFileA(path));
  EXPECT_FALSE(DeleteFileA(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA("C:\\NOWHERE\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(DeleteFileA(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Kernel32, LastErrorBelongsToEachThread) {
  SetLastError(3000);
  DWORD seen = 1;
  std::thread other([&seen] {
    seen = GetLastError();
    SetLastError(5);
  });
  other.join();
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(GetLastError(), 3000u);
}

TEST_F(Kernel32, ProfileWritesGoToTheWindowsDirectory) {
  ASSERT_TRUE(WritePrivateProfileStringA("rename", "NUL", "C:\\WINDOWS\\SYSTEM\\old.dll", "wininit.ini"));
  ASSERT_TRUE(WritePrivateProfileStringA("Other", "a", "1", "wininit.ini"));
  EXPECT_EQ(disk->readFile("C:\\WINDOWS\\WININIT.INI"),
            "[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\old.dll\r\n[Other]\r\na=1\r\n");
  // A single-key write replaces the first entry of that key.
  ASSERT_TRUE(WritePrivateProfileStringA("RENAME", "nul", "C:\\x.dll", "wininit.ini"));
  char buf[64];
  EXPECT_EQ(GetPrivateProfileStringA("rename", "NUL", "", buf, sizeof buf, "wininit.ini"), 8u);
  EXPECT_STREQ(buf, "C:\\x.dll");
  EXPECT_EQ(GetPrivateProfileStringA("rename", "none", "dflt", buf, 4, "wininit.ini"), 3u) << "truncated";
  EXPECT_STREQ(buf, "dfl");
  // Sections are read and written whole.
  ASSERT_TRUE(WritePrivateProfileSectionA("rename", "NUL=C:\\a\0NUL=C:\\b\0", "wininit.ini"));
  char section[64];
  DWORD n = GetPrivateProfileSectionA("rename", section, sizeof section, "wininit.ini");
  EXPECT_EQ(std::string(section, n), std::string("NUL=C:\\a\0NUL=C:\\b\0", 18));
  EXPECT_EQ(GetPrivateProfileSectionA("missing", section, sizeof section, "wininit.ini"), 0u);
  EXPECT_EQ(section[0], '\0');
  EXPECT_EQ(section[1], '\0');
  // Deleting a key and a section.
  ASSERT_TRUE(WritePrivateProfileStringA("Other", "a", nullptr, "wininit.ini"));
  ASSERT_TRUE(WritePrivateProfileStringA("rename", nullptr, nullptr, "wininit.ini"));
  EXPECT_EQ(disk->readFile("C:\\WINDOWS\\wininit.ini"), "[Other]\r\n");
  // The all-null flush answers FALSE, as Windows does, and is counted.
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, "wininit.ini"));
  EXPECT_EQ(session->profileFlushes(), 1);
  // A full path is taken as it is; its folder must exist.
  EXPECT_TRUE(WritePrivateProfileStringA("s", "k", "v", "C:\\other.ini"));
  EXPECT_TRUE(disk->exists("C:\\OTHER.INI"));
  EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", "C:\\NODIR\\other.ini"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(disk->exists("C:\\NODIR"));
}

TEST(IniFile, EditsKeepCommentsAndOtherSections) {
  w98::IniFile ini("; top\r\n[rename]\r\nNUL=C:\\a\r\n; theirs\r\n\r\n[b]\r\nx = 1\r\n");
  EXPECT_EQ(ini.get("RENAME", "nul"), "C:\\a");
  EXPECT_EQ(ini.get("b", "X"), "1");
  ini.set("rename", "NUL2", "C:\\c");
  ini.replaceSection("b", {"y=2"});
  EXPECT_EQ(ini.text(), "; top\r\n[rename]\r\nNUL=C:\\a\r\nNUL2=C:\\c\r\n; theirs\r\n\r\n[b]\r\ny=2\r\n");
  EXPECT_EQ(ini.entries("rename"), (std::vector<std::string>{"NUL=C:\\a", "NUL2=C:\\c"}));
  EXPECT_EQ(ini.sections(), (std::vector<std::string>{"rename", "b"}));
  ini.removeSection("rename");
  EXPECT_FALSE(ini.hasSection("rename"));
  EXPECT_EQ(ini.text(), "; top\r\n[b]\r\ny=2\r\n");
}

}  // namespace
