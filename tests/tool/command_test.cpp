#include "command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "status_names.h"

using namespace ostrolink;

namespace {
std::vector<std::string> W(std::initializer_list<const char*> l) { return {l.begin(), l.end()}; }

CommandInfo plugInfo() {
  return {.name = "plug",
          .arguments = "",
          .summary = "plugs a cable",
          .minArgs = 0,
          .maxArgs = 0,
          .options = {{.name = "device-id", .kind = OptionInfo::Kind::Text, .valueName = "TEXT"},
                      {.name = "no-printer"},
                      {.name = "slow-polls", .kind = OptionInfo::Kind::Number, .valueName = "N", .min = 0, .max = 1000}}};
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const CommandError& e) {
    return e.what();
  }
  return "(no error)";
}
}  // namespace

TEST(SplitWords, BlanksQuotesAndComments) {
  EXPECT_EQ(splitWords("  plug   --no-printer\t"), W({"plug", "--no-printer"}));
  EXPECT_EQ(splitWords("plug --device-id \"MFG:HP;MDL:LaserJet 1100;\""),
            W({"plug", "--device-id", "MFG:HP;MDL:LaserJet 1100;"}));
  EXPECT_EQ(splitWords("# a comment"), W({}));
  EXPECT_EQ(splitWords("unplug 1 # surprise later"), W({"unplug", "1"}));
  // A # inside a word or in quotes is text.
  EXPECT_EQ(splitWords("write KVUSB1 a#b \"#c\""), W({"write", "KVUSB1", "a#b", "#c"}));
  // Registry and DOS paths keep their backslashes, with or without quotes.
  EXPECT_EQ(splitWords("registry HKEY_LOCAL_MACHINE\\Enum\\Root"), W({"registry", "HKEY_LOCAL_MACHINE\\Enum\\Root"}));
  EXPECT_EQ(splitWords("print KVUSB1 \"C:\\My Files\\job.txt\""), W({"print", "KVUSB1", "C:\\My Files\\job.txt"}));
  // Escapes inside quotes, an empty word, and quotes joined to text.
  EXPECT_EQ(splitWords(R"(x "a\"b\\c" "" pre"mid"post)"), W({"x", "a\"b\\c", "", "premidpost"}));
  EXPECT_EQ(splitWords("\r\n"), W({}));
}

TEST(SplitWords, UnterminatedQuoteIsAnErrorWithItsColumn) {
  std::string e = errorOf([] { splitWords("plug --device-id \"MFG:HP"); });
  EXPECT_NE(e.find("unterminated quote"), std::string::npos) << e;
  EXPECT_NE(e.find("column 18"), std::string::npos) << e;
  EXPECT_NE(errorOf([] { splitWords(R"(x "abc\")"); }), "(no error)") << "an escaped quote does not close";
}

TEST(ParseNumber, DecimalHexAndRanges) {
  EXPECT_EQ(parseNumber("128", 1, 128, "N"), 128u);
  EXPECT_EQ(parseNumber("0x222000", 0, 0xFFFFFFFF, "code"), 0x222000u);
  EXPECT_EQ(parseNumber("0XfF", 0, 255, "b"), 255u);
  EXPECT_EQ(parseNumber("18446744073709551615", 0, UINT64_MAX, "n"), UINT64_MAX);
  for (const char* bad : {"", "0", "129", "-1", "1.5", "12a", "0x", "0x1g", "18446744073709551616", " 1"}) {
    std::string e = errorOf([&] { parseNumber(bad, 1, 128, "cable"); });
    EXPECT_NE(e.find("cable must be a number from 1 to 128"), std::string::npos) << bad << ": " << e;
  }
}

TEST(HexBytes, ParseAndFormat) {
  EXPECT_EQ(parseHexBytes(W({"02", "04"})), (std::vector<uint8_t>{2, 4}));
  EXPECT_EQ(parseHexBytes(W({"0x0204ff", "aB"})), (std::vector<uint8_t>{2, 4, 0xff, 0xab}));
  EXPECT_TRUE(parseHexBytes(W({})).empty());
  for (const char* bad : {"2", "0g", "0x", "123", "zz"})
    EXPECT_NE(errorOf([&] { parseHexBytes(W({bad})); }).find("not hexadecimal"), std::string::npos) << bad;
  std::vector<uint8_t> b{0x00, 0x7f, 0xc8, 0xff};
  EXPECT_EQ(hexBytes(b), "007fc8ff");
  EXPECT_EQ(hexBytes(b, " "), "00 7f c8 ff");
  EXPECT_EQ(statusText(0xC0000056), "0xC0000056");
  EXPECT_EQ(statusText(0), "0x00000000");
}

TEST(ParseArgs, OptionsAnywhereBothValueFormsAndEndOfOptions) {
  CommandInfo info = plugInfo();
  info.maxArgs = 2;
  Args a = parseArgs(info, W({"x", "--device-id", "MFG:A;", "--slow-polls=0x10", "--no-printer", "--", "--y"}));
  EXPECT_EQ(a.positional, W({"x", "--y"}));
  EXPECT_EQ(a.text("device-id"), "MFG:A;");
  EXPECT_EQ(a.number("slow-polls"), 16u);
  EXPECT_TRUE(a.flag("no-printer"));
  EXPECT_FALSE(a.flag("other"));
  EXPECT_EQ(a.number("absent", 7), 7u);
  // A value that begins with dashes is taken as the value of the option that needs one.
  Args b = parseArgs(info, W({"--device-id", "--odd"}));
  EXPECT_EQ(b.text("device-id"), "--odd");
  // An empty text value is a value.
  Args c = parseArgs(info, W({"--device-id="}));
  EXPECT_EQ(c.text("device-id"), "");
}

TEST(ParseArgs, BadArgumentsNameTheProblemAndShowUsage) {
  CommandInfo info = plugInfo();
  struct Case {
    std::vector<std::string> words;
    const char* expect;
  } cases[] = {
      {W({"--bogus"}), "unknown option --bogus"},
      {W({"--no-printer", "--no-printer"}), "given twice"},
      {W({"--no-printer=1"}), "takes no value"},
      {W({"--device-id"}), "needs a value TEXT"},
      {W({"--slow-polls", "1001"}), "--slow-polls must be a number from 0 to 1000"},
      {W({"--slow-polls", "many"}), "--slow-polls must be a number"},
      {W({"extra"}), "unexpected argument \"extra\""},
  };
  for (const auto& c : cases) {
    std::string e = errorOf([&] { parseArgs(info, c.words); });
    EXPECT_NE(e.find(c.expect), std::string::npos) << e;
    EXPECT_NE(e.find("usage: plug [--device-id TEXT] [--no-printer] [--slow-polls N]"), std::string::npos) << e;
  }
  CommandInfo two{.name = "print", .arguments = "PORT FILE", .minArgs = 2, .maxArgs = 2};
  EXPECT_NE(errorOf([&] { parseArgs(two, W({"KVUSB1"})); }).find("print: too few arguments"), std::string::npos);
}

TEST(CommandTable, RunsByNameAndRejectsUnknown) {
  CommandTable t;
  int calls = 0;
  t.add(plugInfo(), [&](const Args& a, Reply& r) {
    ++calls;
    r.set("printer", !a.flag("no-printer")).say("plugged");
  });
  Reply r;
  auto words = W({"plug", "--no-printer"});
  t.run(words, r);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(r.json.dump(), R"({"printer":false})");
  EXPECT_EQ(r.text, "plugged\n");
  auto unknown = W({"plg"});
  EXPECT_NE(errorOf([&] { t.run(unknown, r); }).find("unknown command \"plg\""), std::string::npos);
  // Arguments are checked before the handler runs.
  auto bad = W({"plug", "--slow-polls", "x"});
  EXPECT_NE(errorOf([&] { t.run(bad, r); }), "(no error)");
  EXPECT_EQ(calls, 1);
  EXPECT_NE(t.help().find("plug [--device-id TEXT]"), std::string::npos);
  EXPECT_FALSE(t.help("nothing"));
}

// Every status the machine's headers define is shown with a name the headers give its number, of its own kind;
// the two kinds share numbers, so a name from the wrong table would otherwise pass unnoticed.
TEST(StatusNames, EveryStatusOfTheMachinesHeadersHasItsName) {
  const std::string headers = std::string(OSTROLINK_SOURCE_DIR) + "/platform/include/";
  const std::regex define(R"(#define ((USBD_)?STATUS_[A-Z0-9_]+) +\(\((NTSTATUS|USBD_STATUS)\)(0x[0-9A-Fa-f]+)L?\))");
  std::map<std::string, std::pair<StatusKind, uint32_t>> defined;
  for (const char* file : {"ddk/wdm.h", "usb.h", "usbdi.h"}) {
    std::ifstream f(headers + file);
    ASSERT_TRUE(f) << file;
    std::stringstream text;
    text << f.rdbuf();
    const std::string all = text.str();
    for (std::sregex_iterator it(all.begin(), all.end(), define), end; it != end; ++it)
      defined[(*it)[1]] = {(*it)[3] == "USBD_STATUS" ? StatusKind::Usbd : StatusKind::NtStatus,
                           static_cast<uint32_t>(std::stoul((*it)[4], nullptr, 16))};
  }
  ASSERT_GT(defined.size(), 100u);
  for (const auto& [name, status] : defined) {
    auto shown = statusName(status.second, status.first);
    ASSERT_TRUE(shown) << name;
    // An alias (STATUS_WAIT_0, USBD_STATUS_CANCELING) shows the other name of its number.
    auto it = defined.find(std::string(*shown));
    ASSERT_NE(it, defined.end()) << name << " shown as " << *shown;
    EXPECT_EQ(it->second, status) << name << " shown as " << *shown;
  }
  EXPECT_EQ(namedStatusText(0xC0000001), "0xC0000001 (STATUS_UNSUCCESSFUL)");
  EXPECT_EQ(namedStatusText(0xC0000001, StatusKind::Usbd), "0xC0000001 (USBD_STATUS_CRC)");
  EXPECT_EQ(namedStatusText(0xE0001234), "0xE0001234 (unknown status)");
  EXPECT_TRUE(statusNameJson(0xE0001234).isNull());
}
