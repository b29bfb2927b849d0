// Checks of the shipped oslnkun.exe: subsystem, imports, dialog 102, icon group 128, version, language and
// the Shift-JIS texts in its data.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "images_test_support.h"
#include "pe_image.h"

namespace images {
namespace {

constexpr uint16_t kIconType = 3, kDialogType = 5, kIconGroupType = 14;
constexpr uint16_t kJapanese = 0x411;
constexpr uint16_t kButtonClass = 0x80, kEditClass = 0x81;

// Window and control styles, as the platform defines them.
constexpr uint32_t WS_POPUP = 0x80000000, WS_VISIBLE = 0x10000000, WS_CAPTION = 0xC00000, WS_SYSMENU = 0x80000,
                   WS_CHILD = 0x40000000, WS_TABSTOP = 0x10000, WS_BORDER = 0x800000, DS_MODALFRAME = 0x80,
                   DS_CENTER = 0x800, DS_SETFONT = 0x40, WS_EX_APPWINDOW = 0x40000, BS_PUSHBUTTON = 0,
                   ES_READONLY = 0x800, ES_AUTOHSCROLL = 0x80;

class OslnkunImage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = BuiltImage("removal/oslnkun.exe");
    if (!path_) GTEST_SKIP() << "oslnkun.exe not built in " << WindowsBuildDir();
    image_.emplace(PeImage::Load(*path_));
  }
  std::optional<std::string> path_;
  std::optional<PeImage> image_;
};

// Every function the program may import, each an ANSI or character-free call that Windows 98 provides: an
// import that does not resolve there stops the program before its first instruction.
const std::set<std::string> kOslnkunImports = {
    // The removal steps: registry, spooler, files, wininit.ini (its [rename] section read and written whole,
    // so that other programs' entries stay).
    "advapi32.dll!RegOpenKeyExA", "advapi32.dll!RegEnumKeyExA", "advapi32.dll!RegDeleteKeyA",
    "advapi32.dll!RegCloseKey", "advapi32.dll!RegCreateKeyExA", "advapi32.dll!RegSetValueExA",
    "winspool.drv!DeleteMonitorA", "kernel32.dll!GetLastError", "kernel32.dll!GetSystemDirectoryA",
    "kernel32.dll!GetFileAttributesA", "kernel32.dll!SetFileAttributesA", "kernel32.dll!DeleteFileA",
    "kernel32.dll!WritePrivateProfileStringA", "kernel32.dll!GetPrivateProfileSectionA",
    "kernel32.dll!WritePrivateProfileSectionA", "kernel32.dll!GetPrivateProfileStringA", "user32.dll!MessageBoxA",
    // Paths read by characters of code page 932.
    "kernel32.dll!IsDBCSLeadByte",
    // The dialog: shown from its template, its texts, icon, focus and painting, and the restart.
    "user32.dll!DialogBoxParamA", "user32.dll!EndDialog", "user32.dll!GetDlgItem", "user32.dll!SetWindowTextA",
    "user32.dll!SendMessageA", "user32.dll!SetFocus", "user32.dll!LoadIconA", "user32.dll!IsIconic",
    "user32.dll!GetSystemMetrics", "user32.dll!GetClientRect", "user32.dll!DrawIcon", "user32.dll!BeginPaint",
    "user32.dll!EndPaint", "user32.dll!ExitWindowsEx",
    // The program's own start-up, in place of a C runtime's.
    "kernel32.dll!ExitProcess"};

TEST_F(OslnkunImage, IsAGuiProgramForWindows98ImportingOnlyWhatItCalls) {
  EXPECT_FALSE(image_->IsDll());
  EXPECT_EQ(image_->Subsystem(), kGuiSubsystem);
  ExpectWindows98Version(*image_);
  ExpectImportsOnly(*image_, *path_, kOslnkunImports);
}

TEST_F(OslnkunImage, EveryResourceIsJapanese) {
  ASSERT_FALSE(image_->Resources().empty());
  for (const ResourceEntry& r : image_->Resources())
    EXPECT_EQ(r.language, kJapanese) << "resource type " << r.type.number.value_or(0) << " name "
                                     << r.name.number.value_or(0);
}

TEST_F(OslnkunImage, Dialog102IsTheQuestionWithItsFourControls) {
  const ResourceEntry* resource = image_->FindResource(kDialogType, 102);
  ASSERT_NE(resource, nullptr);
  ASSERT_EQ(image_->FindResources(kDialogType).size(), 1u);
  const DialogTemplate d = ParseDialogEx(resource->data);
  EXPECT_EQ(d.style, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT);
  EXPECT_EQ(d.exStyle, WS_EX_APPWINDOW);
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.y, 0);
  EXPECT_EQ(d.cx, 130);
  EXPECT_EQ(d.cy, 67);
  EXPECT_EQ(d.title, "") << "the caption is set at initialisation";
  EXPECT_EQ(d.menu, ResourceId{});
  EXPECT_EQ(d.windowClass, ResourceId{});
  EXPECT_EQ(d.pointSize, 9);
  EXPECT_EQ(d.typeface, expected::kDialogFont);

  struct Want {
    uint32_t id;
    uint16_t windowClass;
    std::string title;
    int16_t x, y, cx, cy;
    uint32_t style;
  };
  const uint32_t button = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
  const uint32_t line = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL;
  const Want want[] = {
      {1, kButtonClass, expected::kYesButton, 23, 45, 40, 15, button},
      {2, kButtonClass, expected::kNoButton, 69, 45, 40, 15, button},
      {1014, kEditClass, "", 2, 5, 122, 12, line},
      {1015, kEditClass, "", 2, 17, 122, 13, line},
  };
  ASSERT_EQ(d.items.size(), std::size(want));
  for (const Want& w : want) {
    SCOPED_TRACE("control " + std::to_string(w.id));
    auto it = std::find_if(d.items.begin(), d.items.end(), [&](const DialogItem& i) { return i.id == w.id; });
    ASSERT_NE(it, d.items.end());
    EXPECT_EQ(it->windowClass, ResourceId::Number(w.windowClass));
    EXPECT_EQ(it->title, w.title);
    EXPECT_EQ(it->x, w.x);
    EXPECT_EQ(it->y, w.y);
    EXPECT_EQ(it->cx, w.cx);
    EXPECT_EQ(it->cy, w.cy);
    EXPECT_EQ(it->style, w.style);
    EXPECT_EQ(it->style & WS_BORDER, 0u);
    EXPECT_EQ(it->exStyle, 0u);
  }
}

TEST_F(OslnkunImage, IconGroup128HasA32And16PixelSixteenColourImage) {
  const ResourceEntry* group = image_->FindResource(kIconGroupType, 128);
  ASSERT_NE(group, nullptr);
  const std::vector<IconDirEntry> entries = ParseIconGroup(group->data);
  ASSERT_EQ(entries.size(), 2u);
  std::vector<int> sizes;
  for (const IconDirEntry& e : entries) {
    SCOPED_TRACE("icon " + std::to_string(e.iconId));
    EXPECT_EQ(e.width, e.height);
    EXPECT_EQ(e.colourCount, 16);
    EXPECT_EQ(e.bitCount, 4);
    sizes.push_back(e.width);
    const ResourceEntry* icon = image_->FindResource(kIconType, e.iconId);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->data.size(), e.bytes);
    // The image itself: a BITMAPINFOHEADER of that size (height doubled for the mask), 4 bits per pixel,
    // 16 palette entries, then the colour bits and the mask.
    ByteReader r(icon->data);
    ASSERT_EQ(r.U32(), 40u);
    EXPECT_EQ(r.U32(), e.width);
    EXPECT_EQ(r.U32(), 2u * e.height);
    EXPECT_EQ(r.U16(), 1);
    EXPECT_EQ(r.U16(), 4);
    const size_t colourRow = (e.width * 4 + 31) / 32 * 4, maskRow = (e.width + 31) / 32 * 4;
    EXPECT_EQ(icon->data.size(), 40 + 16 * 4 + e.height * (colourRow + maskRow));
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<int>{16, 32}));
}

TEST_F(OslnkunImage, CarriesFileVersion1000) {
  const std::vector<const ResourceEntry*> versions = image_->FindResources(kVersionType);
  ASSERT_EQ(versions.size(), 1u);
  const FixedVersion v = ParseVersion(versions[0]->data);
  EXPECT_EQ((std::vector<uint16_t>{v.file[0], v.file[1], v.file[2], v.file[3]}), (std::vector<uint16_t>{1, 0, 0, 0}));
  EXPECT_EQ(v.fileType, 1u);  // VFT_APP
  EXPECT_EQ(VersionString(versions[0]->data, "FileVersion"), "1, 0, 0, 0");
  EXPECT_EQ(VersionString(versions[0]->data, "OriginalFilename"), "oslnkun.exe");
}

TEST_F(OslnkunImage, HoldsItsMessagesAsShiftJis) {
  if (!Utf8ToCp932("A")) GTEST_SKIP() << "the C library has no code page 932 converter";
  const std::span<const uint8_t> bytes = image_->Bytes();
  for (const std::string* text : {&expected::kUpperLine, &expected::kLowerLine, &expected::kDialogCaption,
                                  &expected::kDoneQuestion, &expected::kMessageCaption, &expected::kFloppy}) {
    const std::string encoded = Utf8ToCp932(*text).value();
    // With its terminator, so that a longer or cut text does not pass.
    std::vector<uint8_t> needle(encoded.begin(), encoded.end());
    needle.push_back(0);
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()), bytes.end())
        << "missing: " << *text;
  }
}

TEST_F(OslnkunImage, WindresDecompilesTheSameDialog) {
  if (!HaveTool("i686-w64-mingw32-windres")) GTEST_SKIP() << "i686-w64-mingw32-windres not installed";
  const std::optional<std::string> rc = CommandOutput("i686-w64-mingw32-windres -i '" + *path_ + "' -O rc");
  ASSERT_TRUE(rc.has_value());
  EXPECT_NE(rc->find("LANGUAGE 17, 1"), std::string::npos);
  EXPECT_NE(rc->find("102 DIALOGEX 0, 0, 130, 67"), std::string::npos);
  EXPECT_NE(rc->find("EXSTYLE 0x40000"), std::string::npos);
  // windres spells the UTF-16 texts with escapes: はい(&Y), いいえ(&N), ＭＳ Ｐゴシック.
  EXPECT_NE(rc->find(R"x(FONT 9, L"\xff2d\xff33 \xff30\x30b4\x30b7\x30c3\x30af")x"), std::string::npos);
  EXPECT_NE(rc->find(R"x(PUSHBUTTON L"\x306f\x3044(&Y)", 1, 23, 45, 40, 15, 0x50010000)x"), std::string::npos);
  EXPECT_NE(rc->find(R"x(PUSHBUTTON L"\x3044\x3044\x3048(&N)", 2, 69, 45, 40, 15, 0x50010000)x"), std::string::npos);
  EXPECT_NE(rc->find("EDITTEXT 1014, 2, 5, 122, 12, 0x50010880"), std::string::npos);
  EXPECT_NE(rc->find("EDITTEXT 1015, 2, 17, 122, 13, 0x50010880"), std::string::npos);
  EXPECT_NE(rc->find("128 14 /* RT_GROUP_ICON */"), std::string::npos);
}

}  // namespace
}  // namespace images
