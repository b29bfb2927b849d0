// The image reader itself: it must reject damaged files with an error rather than read past their end,
// and read what it is given exactly.
#include <gtest/gtest.h>

#include <cstring>

#include "pe_image.h"

namespace images {
namespace {

// A minimal PE32 file: headers, one section holding an export directory for "x.dll" with one named
// export, and a resource tree with one version-less custom resource (type 5, name 7, language 0x411).
std::vector<uint8_t> TinyImage() {
  std::vector<uint8_t> b(0x400, 0);
  auto put16 = [&](size_t at, uint16_t v) { b[at] = v & 0xFF, b[at + 1] = v >> 8; };
  auto put32 = [&](size_t at, uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  b[0] = 'M', b[1] = 'Z';
  put32(0x3C, 0x40);
  put32(0x40, 0x4550);
  put16(0x44, 0x14C);   // machine
  put16(0x46, 1);       // one section
  put16(0x54, 224);     // optional header size
  put16(0x56, 0x2102);  // DLL
  const size_t opt = 0x58;
  put16(opt, 0x10B);
  put16(opt + 68, 2);
  put32(opt + 92, 16);
  put32(opt + 96, 0x1000);  // exports
  put32(opt + 100, 0x100);
  put32(opt + 96 + 16, 0x1100);  // resources
  put32(opt + 100 + 16, 0x100);
  const size_t sec = opt + 224;
  std::memcpy(&b[sec], ".data", 5);
  put32(sec + 8, 0x200);    // virtual size
  put32(sec + 12, 0x1000);  // RVA
  put32(sec + 16, 0x200);   // raw size
  put32(sec + 20, 0x200);   // raw offset
  // Export directory at RVA 0x1000 (file 0x200).
  const size_t e = 0x200;
  put32(e + 12, 0x1080);  // name
  put32(e + 16, 5);       // ordinal base
  put32(e + 20, 1);
  put32(e + 24, 1);
  put32(e + 28, 0x1040);
  put32(e + 32, 0x1050);
  put32(e + 36, 0x1060);
  put32(0x240, 0x1234);   // function RVA
  put32(0x250, 0x1070);   // name RVA
  put16(0x260, 0);        // ordinal index
  std::memcpy(&b[0x270], "Fn", 3);
  std::memcpy(&b[0x280], "x.dll", 6);
  // Resource tree at RVA 0x1100 (file 0x300): type 5 -> name 7 -> language 0x411 -> 4 bytes.
  const size_t r = 0x300;
  put16(r + 14, 1);
  put32(r + 16, 5);
  put32(r + 20, 0x80000000u | 0x18);
  put16(r + 0x18 + 14, 1);
  put32(r + 0x18 + 16, 7);
  put32(r + 0x18 + 20, 0x80000000u | 0x30);
  put16(r + 0x30 + 14, 1);
  put32(r + 0x30 + 16, 0x411);
  put32(r + 0x30 + 20, 0x48);
  put32(r + 0x48, 0x1160);  // data RVA
  put32(r + 0x48 + 4, 4);
  std::memcpy(&b[0x360], "\x01\x02\x03\x04", 4);
  return b;
}

TEST(PeImage, ReadsExportsAndResourcesOfAWellFormedImage) {
  const PeImage image(TinyImage());
  EXPECT_TRUE(image.IsDll());
  EXPECT_EQ(image.ExportDirectoryName(), "x.dll");
  ASSERT_EQ(image.Exports().size(), 1u);
  EXPECT_EQ(image.Exports()[0].ordinal, 5u);  // biased by the ordinal base
  EXPECT_EQ(image.Exports()[0].name, "Fn");
  EXPECT_EQ(image.Exports()[0].rva, 0x1234u);
  const ResourceEntry* res = image.FindResource(5, 7);
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(res->language, 0x411);
  EXPECT_EQ(res->data, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(image.FindResource(5, 8), nullptr);
}

TEST(PeImage, RejectsDamagedFilesWithAnError) {
  EXPECT_THROW(PeImage(std::vector<uint8_t>{}), PeError);
  EXPECT_THROW(PeImage(std::vector<uint8_t>(100, 0)), PeError);  // no MZ
  std::vector<uint8_t> badSignature = TinyImage();
  badSignature[0x40] = 'X';
  EXPECT_THROW(PeImage(std::move(badSignature)), PeError);
  // Cut anywhere inside the structures the reader follows: always an error, never a read past the end.
  const std::vector<uint8_t> whole = TinyImage();
  for (size_t cut : {0x50u, 0x100u, 0x1F0u, 0x210u, 0x2F0u, 0x340u, 0x362u}) {
    SCOPED_TRACE(cut);
    EXPECT_THROW(PeImage(std::vector<uint8_t>(whole.begin(), whole.begin() + cut)), PeError);
  }
  // A resource tree pointing at itself is refused rather than followed for ever.
  std::vector<uint8_t> loop = TinyImage();
  loop[0x300 + 0x30 + 20] = 0x00;
  loop[0x300 + 0x30 + 23] = 0x80;  // language entry -> subdirectory at offset 0
  EXPECT_THROW(PeImage(std::move(loop)), PeError);
}

TEST(DialogTemplateParser, ReadsItemsAlignedOnFourBytes) {
  // DLGTEMPLATEEX with a one-character title, font "A", and two items, the second starting after padding.
  std::vector<uint8_t> d;
  auto u16 = [&](uint16_t v) { d.push_back(v & 0xFF), d.push_back(v >> 8); };
  auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  auto wide = [&](const char* s) { for (; *s; ++s) u16(static_cast<uint8_t>(*s)); u16(0); };
  u16(1), u16(0xFFFF), u32(0), u32(0), u32(0x40), u16(2);
  u16(1), u16(2), u16(30), u16(40);
  u16(0), u16(0), wide("T");
  u16(8), u16(400), d.push_back(0), d.push_back(1), wide("A");
  while (d.size() % 4) d.push_back(0);
  u32(0), u32(0), u32(0x50000000), u16(3), u16(4), u16(5), u16(6), u32(1014), u16(0xFFFF), u16(0x81), wide("ab"), u16(0);
  while (d.size() % 4) d.push_back(0xEE);
  u32(0), u32(7), u32(0x50010000), u16(9), u16(8), u16(7), u16(6), u32(2), u16(0xFFFF), u16(0x80), wide(""), u16(0);
  const DialogTemplate t = ParseDialogEx(d);
  EXPECT_EQ(t.title, "T");
  EXPECT_EQ(t.typeface, "A");
  EXPECT_EQ(t.pointSize, 8);
  EXPECT_EQ(t.cx, 30);
  ASSERT_EQ(t.items.size(), 2u);
  EXPECT_EQ(t.items[0].id, 1014u);
  EXPECT_EQ(t.items[0].windowClass, ResourceId::Number(0x81));
  EXPECT_EQ(t.items[0].title, "ab");
  EXPECT_EQ(t.items[1].id, 2u);
  EXPECT_EQ(t.items[1].exStyle, 7u);
  EXPECT_EQ(t.items[1].x, 9);
  // Cut short: an error, not a read past the end.
  d.resize(d.size() - 3);
  EXPECT_THROW(ParseDialogEx(d), PeError);
  // An old-style template is not taken for an extended one.
  EXPECT_THROW(ParseDialogEx(std::vector<uint8_t>(32, 0)), PeError);
}

TEST(Utf16ToUtf8, EncodesEveryRange) {
  EXPECT_EQ(Utf16ToUtf8(u"A\u00e9\u30a2"), "A\xC3\xA9\xE3\x82\xA2");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace images
