// The removal program's texts are stored as Shift-JIS bytes; each must decode to its Japanese text.
#include <gtest/gtest.h>

#include "images_test_support.h"
#include "removal_texts.h"

namespace images {
namespace {

struct TextCase {
  const char* macro;
  const char* stored;
  const std::string* expected;
};

const TextCase kTexts[] = {
    {"OSLNKUN_TEXT_UPPER_LINE", OSLNKUN_TEXT_UPPER_LINE, &expected::kUpperLine},
    {"OSLNKUN_TEXT_LOWER_LINE", OSLNKUN_TEXT_LOWER_LINE, &expected::kLowerLine},
    {"OSLNKUN_TEXT_DIALOG_CAPTION", OSLNKUN_TEXT_DIALOG_CAPTION, &expected::kDialogCaption},
    {"OSLNKUN_TEXT_DONE_QUESTION", OSLNKUN_TEXT_DONE_QUESTION, &expected::kDoneQuestion},
    {"OSLNKUN_TEXT_MESSAGE_CAPTION", OSLNKUN_TEXT_MESSAGE_CAPTION, &expected::kMessageCaption},
    {"OSLNKUN_TEXT_FLOPPY", OSLNKUN_TEXT_FLOPPY, &expected::kFloppy},
    {"OSLNKUN_TEXT_YES_BUTTON", OSLNKUN_TEXT_YES_BUTTON, &expected::kYesButton},
    {"OSLNKUN_TEXT_NO_BUTTON", OSLNKUN_TEXT_NO_BUTTON, &expected::kNoButton},
    {"OSLNKUN_TEXT_DIALOG_FONT", OSLNKUN_TEXT_DIALOG_FONT, &expected::kDialogFont},
};

TEST(RemovalTexts, EachDecodesFromCodePage932ToItsJapaneseText) {
  if (!Cp932ToUtf8("A")) GTEST_SKIP() << "the C library has no code page 932 converter";
  for (const TextCase& t : kTexts) {
    SCOPED_TRACE(t.macro);
    const std::optional<std::string> decoded = Cp932ToUtf8(t.stored);
    ASSERT_TRUE(decoded.has_value()) << "not valid Shift-JIS";
    EXPECT_EQ(*decoded, *t.expected);
    // And the stored bytes are exactly the code page 932 form (no stray UTF-8, nothing missing).
    EXPECT_EQ(Utf8ToCp932(*t.expected).value_or("?"), std::string(t.stored));
  }
}

TEST(RemovalTexts, CaptionsDifferOnlyByTheSpaceBeforeNo) {
  // The dialog's caption has no space before の; the message boxes' caption has one.
  const std::string dialog = OSLNKUN_TEXT_DIALOG_CAPTION;
  const std::string message = OSLNKUN_TEXT_MESSAGE_CAPTION;
  ASSERT_EQ(message.size(), dialog.size() + 1);
  EXPECT_EQ(message.substr(0, 9), "Ostrolink");
  EXPECT_EQ(message[9], ' ');
  EXPECT_EQ(message.substr(10), dialog.substr(9));
}

TEST(RemovalTexts, LineBreaksAreSingleNewlines) {
  // The completion question breaks twice after 場合は and ends with a break; no carriage returns.
  const std::string question = OSLNKUN_TEXT_DONE_QUESTION;
  EXPECT_EQ(question.find('\r'), std::string::npos);
  EXPECT_EQ(std::count(question.begin(), question.end(), '\n'), 3);
  EXPECT_EQ(question.back(), '\n');
  EXPECT_NE(question.find("\n\nWindows"), std::string::npos);
  const std::string floppy = OSLNKUN_TEXT_FLOPPY;
  EXPECT_EQ(std::count(floppy.begin(), floppy.end(), '\n'), 1);
  EXPECT_EQ(floppy.back(), '\n');
}

}  // namespace
}  // namespace images
