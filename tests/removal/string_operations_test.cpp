#include <gtest/gtest.h>

#include <cstring>

#include "steps/removal_steps.h"

namespace {

RemovalSteps& steps() {
  static RemovalSteps s(nullptr);
  return s;
}

TEST(CopyChars, CopiesExactlyCountBytesAndNoTerminatorOfItsOwn) {
  char dst[8];
  std::memset(dst, '#', sizeof dst);
  steps().CopyChars(dst, "abcdef", 3);
  EXPECT_EQ(std::string(dst, 8), "abc#####");
  steps().CopyChars(dst, "ab\0cd", 5);  // past a terminator too
  EXPECT_EQ(std::string(dst, 8), std::string("ab\0cd###", 8));
  steps().CopyChars(dst, "zz", 0);
  steps().CopyChars(dst, "zz", -4);
  EXPECT_EQ(dst[0], 'a') << "zero or negative counts copy nothing";
}

TEST(AppendString, AppendsBehindTheTerminator) {
  char dst[16];
  std::memset(dst, '#', sizeof dst);
  std::strcpy(dst, "C:\\W");
  steps().AppendString(dst, "\\x.dll");
  EXPECT_STREQ(dst, "C:\\W\\x.dll");
  EXPECT_EQ(dst[11], '#') << "nothing written past the new terminator";
  steps().AppendString(dst, "");
  EXPECT_STREQ(dst, "C:\\W\\x.dll");
  char empty[4] = {'\0', '#', '#', '#'};
  steps().AppendString(empty, "ab");
  EXPECT_EQ(std::string(empty, 4), std::string("ab\0#", 4));
}

TEST(FillBytes, UsesTheLowEightBits) {
  unsigned char buf[6] = {1, 1, 1, 1, 1, 1};
  steps().FillBytes(buf, 0x1AB, 4);
  EXPECT_EQ(std::vector<unsigned char>(buf, buf + 6), (std::vector<unsigned char>{0xAB, 0xAB, 0xAB, 0xAB, 1, 1}));
  steps().FillBytes(buf, 0, 0);
  steps().FillBytes(buf, 0, -1);
  EXPECT_EQ(buf[0], 0xAB);
  steps().FillBytes(buf, -1, 1);
  EXPECT_EQ(buf[0], 0xFF);
}

TEST(ComparePrefix, CaseSensitivePrefixOfTheName) {
  struct Case {
    const char* prefix;
    const char* name;
    int result;
  } cases[] = {
      {"KVUSB", "KVUSB1", 0}, {"KVUSB", "KVUSB12", 0}, {"KVUSB", "KVUSB", 0}, {"KVUSB", "kvusb3", 1},
      {"KVUSB", "KVUS", 1},   {"KVUSB", "", 1},        {"KVUSB", "LPT1", 1},  {"", "anything", 0},
      {"", "", 0},            {"KVUSB", "KVUSb1", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(steps().ComparePrefix(c.prefix, c.name), c.result) << c.prefix << " / " << c.name;
  }
}

TEST(AccessRefused, ClassifiesPlatformErrors) {
  for (DWORD e : {5u, 16u, 19u, 20u, 32u, 33u, 36u, 65u, 82u, 83u, 108u, 132u, 158u, 167u}) {
    EXPECT_TRUE(RemovalSteps::IsAccessRefused(e)) << e;
  }
  for (DWORD e : {0u, 2u, 3u, 15u, 17u, 18u, 37u, 53u, 67u, 161u, 206u, 3000u}) {
    EXPECT_FALSE(RemovalSteps::IsAccessRefused(e)) << e;
  }
}

}  // namespace
