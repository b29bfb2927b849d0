// The tool's small parts: control-code names and the progress bar.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "ioctl_names.h"
#include "progress.h"

using namespace ostrolink;

TEST(IoctlNames, EveryCodeOfTheCableByNameAndRawCodes) {
  std::set<uint32_t> codes;
  for (const auto& n : ioctlNames()) {
    codes.insert(n.code);
    auto found = findIoctl(n.name);
    ASSERT_TRUE(found) << n.name;
    EXPECT_EQ(found->code, n.code);
    EXPECT_STREQ(ioctlName(n.code), n.name);
  }
  // Nine consecutive codes 0x00222000..0x00222020, all distinct.
  ASSERT_EQ(codes.size(), 9u);
  EXPECT_EQ(*codes.begin(), 0x00222000u);
  EXPECT_EQ(*codes.rbegin(), 0x00222020u);
  EXPECT_EQ(findIoctl("read-registers")->outputLength, 7u);
  EXPECT_EQ(findIoctl("get-port-status")->outputLength, 1u);
  EXPECT_EQ(findIoctl("recover")->code, 0x00222020u);
  // A raw code of a known control resolves to it; an unknown raw code has no name and no output.
  EXPECT_STREQ(findIoctl("0x00222004")->name, "read-registers");
  auto raw = findIoctl("0x00222024");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->name, nullptr);
  EXPECT_EQ(raw->code, 0x00222024u);
  EXPECT_EQ(raw->outputLength, 0u);
  EXPECT_FALSE(findIoctl("read-register"));
  EXPECT_FALSE(findIoctl("0x1FFFFFFFF"));
  EXPECT_FALSE(findIoctl("0xZZ"));
}

TEST(ProgressBar, RendersFractionsAndClampsOverruns) {
  EXPECT_EQ(ProgressBar::render(0, 100, 10), "[          ]   0%");
  EXPECT_EQ(ProgressBar::render(50, 100, 10), "[#####     ]  50%");
  EXPECT_EQ(ProgressBar::render(100, 100, 10), "[##########] 100%");
  EXPECT_EQ(ProgressBar::render(500, 100, 10), "[##########] 100%");
  EXPECT_EQ(ProgressBar::render(0, 0, 4), "[####] 100%");
}

TEST(ProgressBar, DrawsOnlyWhenEnabledAndOnlyOnChange) {
  std::ostringstream quiet;
  {
    ProgressBar p(quiet, "job", 1000, false);
    p.update(500);
  }
  EXPECT_EQ(quiet.str(), "");
  std::ostringstream shown;
  {
    ProgressBar p(shown, "job", 1000, true);
    p.update(0);
    p.update(5);  // still 0%: no redraw
    p.update(1000);
  }
  std::string s = shown.str();
  EXPECT_EQ(std::count(s.begin(), s.end(), '\r'), 2) << s;
  EXPECT_NE(s.find("1000/1000 bytes\n"), std::string::npos) << s;
}
