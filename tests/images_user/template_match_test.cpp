// The host's copy of dialog 102 must be the dialog of the Windows image, control for control.
#include <gtest/gtest.h>

#include "host_program.h"
#include "images_test_support.h"
#include "pe_image.h"
#include "user/session.h"

namespace images {
namespace {

TEST(QuestionDialogTemplate, MatchesDialog102OfTheWindowsImage) {
  const std::optional<std::string> path = BuiltImage("removal/oslnkun.exe");
  if (!path) GTEST_SKIP() << "oslnkun.exe not built in " << WindowsBuildDir();
  const PeImage image = PeImage::Load(*path);
  const ResourceEntry* resource = image.FindResource(5, 102);
  ASSERT_NE(resource, nullptr);
  const DialogTemplate built = ParseDialogEx(resource->data);
  const w98::DialogTemplate host = oslnkun::QuestionDialogTemplate();

  EXPECT_EQ(host.style, built.style);
  EXPECT_EQ(host.exStyle, built.exStyle);
  EXPECT_EQ(host.width, built.cx);
  EXPECT_EQ(host.height, built.cy);
  EXPECT_EQ(Cp932ToUtf8(host.caption).value_or("?"), built.title);
  ASSERT_EQ(host.controls.size(), built.items.size());
  for (size_t i = 0; i < host.controls.size(); ++i) {
    const auto& h = host.controls[i];
    const DialogItem& b = built.items[i];
    SCOPED_TRACE("control " + std::to_string(h.id));
    EXPECT_EQ(static_cast<uint32_t>(h.id), b.id) << "same order (tab order)";
    EXPECT_EQ(h.style, b.style);
    EXPECT_EQ(h.x, b.x);
    EXPECT_EQ(h.y, b.y);
    EXPECT_EQ(h.width, b.cx);
    EXPECT_EQ(h.height, b.cy);
    EXPECT_EQ(Cp932ToUtf8(h.text).value_or("?"), b.title);
    const uint16_t atom = h.kind == w98::DialogTemplate::ControlKind::Button ? 0x80
                          : h.kind == w98::DialogTemplate::ControlKind::Edit ? 0x81
                                                                               : 0x82;
    EXPECT_EQ(b.windowClass, ResourceId::Number(atom));
  }
}

}  // namespace
}  // namespace images
