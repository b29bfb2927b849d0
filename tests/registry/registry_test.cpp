#include "registry/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

using w98::Registry;
using w98::RegType;
using w98::RegValue;

constexpr const char* kPorts = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Ports";

std::vector<uint8_t> bytes(std::initializer_list<int> l) {
  std::vector<uint8_t> v;
  for (int b : l) v.push_back(static_cast<uint8_t>(b));
  return v;
}

TEST(RegistryKeys, CreateMakesParentsAndLookupIgnoresCase) {
  Registry r;
  ASSERT_TRUE(r.createKey(kPorts));
  EXPECT_TRUE(r.keyExists("HKEY_LOCAL_MACHINE\\System"));
  EXPECT_TRUE(r.keyExists("hkey_local_machine\\SYSTEM\\currentcontrolset\\control\\PRINT\\ports"));
  EXPECT_TRUE(r.keyExists("HKLM\\System\\CurrentControlSet\\"));
  EXPECT_FALSE(r.keyExists("HKEY_CURRENT_USER\\System"));
  EXPECT_TRUE(r.keyExists("HKEY_DYN_DATA"));
  // A second create with other case makes no twin and keeps the first spelling.
  ASSERT_TRUE(r.createKey("HKLM\\SYSTEM"));
  EXPECT_EQ(r.subkeys("HKEY_LOCAL_MACHINE"), std::vector<std::string>{"System"});
}

TEST(RegistryKeys, BadPathsAreRefused) {
  Registry r;
  EXPECT_FALSE(r.createKey(""));
  EXPECT_FALSE(r.createKey("HKEY_NOWHERE\\X"));
  EXPECT_FALSE(r.createKey("HKLM\\A\\\\B"));
  EXPECT_FALSE(r.createKey("\\A"));
  // Names that are not UTF-8 (a stray byte, a cut-off sequence) are refused rather than stored as bytes
  // that user mode could never name again.
  EXPECT_FALSE(r.createKey("HKLM\\A\\KVUSB\xE9"));
  EXPECT_FALSE(r.createKey("HKLM\\A\\\xE3\x81"));
  EXPECT_TRUE(r.subkeys("HKEY_LOCAL_MACHINE").empty()) << "a refused path must create nothing on the way";
  EXPECT_FALSE(r.keyExists("HKLM\\A"));
  EXPECT_EQ(w98::normalizeRegPath("hkcu\\Software\\"), "HKEY_CURRENT_USER\\Software");
  EXPECT_EQ(w98::normalizeRegPath("HKEY_CURRENTUSER"), std::nullopt);
}

TEST(RegistryKeys, NamesAndDepthHaveWindowsLimits) {
  Registry r;
  EXPECT_TRUE(r.createKey("HKLM\\" + std::string(255, 'n')));
  EXPECT_FALSE(r.createKey("HKLM\\" + std::string(256, 'n')));
  std::string deep = "HKLM";
  for (int i = 0; i < 512; ++i) deep += "\\k";
  EXPECT_TRUE(r.createKey(deep));
  EXPECT_FALSE(r.createKey(deep + "\\k"));
  auto err = r.importText("REGEDIT4\n[" + deep + "\\k]\n");
  ASSERT_TRUE(err);
  EXPECT_EQ(err->rfind("line 2:", 0), 0u);
  EXPECT_NE(r.exportText().find("HKEY_LOCAL_MACHINE" + deep.substr(4) + "]"), std::string::npos);
}

TEST(RegistryKeys, SubkeysSortedCaseInsensitivelyWithCreatedSpelling) {
  Registry r;
  for (const char* n : {"KVUSB2", "LPT1", "com1", "kvusb10", "KVUSB1"}) r.createKey(std::string(kPorts) + "\\" + n);
  EXPECT_EQ(r.subkeys(kPorts), (std::vector<std::string>{"com1", "KVUSB1", "kvusb10", "KVUSB2", "LPT1"}));
  EXPECT_TRUE(r.subkeys("HKLM\\Nothing").empty());
}

TEST(RegistryKeys, DeleteTreeRemovesEverythingBelowOnly) {
  Registry r;
  r.createKey("HKLM\\Enum\\USB\\VID_0F1B&PID_1002\\5&1\\Device Parameters");
  r.createKey("HKLM\\Enum\\USB\\VID_0000&PID_0000");
  r.setString("HKLM\\Enum\\USB\\VID_0F1B&PID_1002\\5&1", "Driver", "USBQXC\\0000");
  EXPECT_TRUE(r.deleteKeyTree("hklm\\enum\\usb\\vid_0f1b&pid_1002"));
  EXPECT_FALSE(r.keyExists("HKLM\\Enum\\USB\\VID_0F1B&PID_1002\\5&1"));
  EXPECT_TRUE(r.keyExists("HKLM\\Enum\\USB\\VID_0000&PID_0000"));
  EXPECT_FALSE(r.deleteKeyTree("HKLM\\Enum\\USB\\VID_0F1B&PID_1002")) << "already gone";
  EXPECT_FALSE(r.deleteKeyTree("HKEY_LOCAL_MACHINE")) << "roots stay";
  EXPECT_TRUE(r.keyExists("HKEY_LOCAL_MACHINE\\Enum"));
  // A deleted key can be created anew, empty.
  r.createKey("HKLM\\Enum\\USB\\VID_0F1B&PID_1002\\5&1");
  EXPECT_EQ(r.value("HKLM\\Enum\\USB\\VID_0F1B&PID_1002\\5&1", "Driver"), std::nullopt);
}

TEST(RegistryValues, SetQueryReplaceDelete) {
  Registry r;
  EXPECT_FALSE(r.setDword("HKLM\\Missing", "X", 1)) << "no value without its key";
  r.createKey("HKLM\\K");
  EXPECT_TRUE(r.setDword("HKLM\\K", "MaxTransferSize", 1024));
  EXPECT_TRUE(r.setString("HKLM\\K", "Port Name", "KVUSB1", false));
  EXPECT_TRUE(r.setValue("HKLM\\K", "", RegValue{RegType::Binary, bytes({1, 2})}));
  EXPECT_EQ(r.dwordValue("hklm\\k", "maxtransfersize"), 1024u);
  EXPECT_EQ(r.stringValue("HKLM\\K", "PORT NAME"), "KVUSB1");
  // The kernel's form: 12 bytes of UTF-16LE without a terminator.
  EXPECT_EQ(r.value("HKLM\\K", "Port Name")->data.size(), 12u);
  // Replacing keeps place and first spelling.
  EXPECT_TRUE(r.setDword("HKLM\\K", "MAXTRANSFERSIZE", 4096));
  auto vals = r.values("HKLM\\K");
  ASSERT_EQ(vals.size(), 3u);
  EXPECT_EQ(vals[0].first, "MaxTransferSize");
  EXPECT_EQ(vals[0].second.asDword(), 4096u);
  EXPECT_EQ(vals[2].first, "");
  EXPECT_TRUE(r.deleteValue("HKLM\\K", "port name"));
  EXPECT_FALSE(r.deleteValue("HKLM\\K", "Port Name"));
  EXPECT_EQ(r.values("HKLM\\K").size(), 2u);
  // Typed readers refuse other types.
  EXPECT_EQ(r.stringValue("HKLM\\K", "MaxTransferSize"), std::nullopt);
  EXPECT_EQ(r.dwordValue("HKLM\\K", ""), std::nullopt);
}

TEST(RegistryValues, StringFormsAndUtf16) {
  RegValue user = RegValue::fromString("KVUSB1");
  EXPECT_EQ(user.data, bytes({'K', 0, 'V', 0, 'U', 0, 'S', 0, 'B', 0, '1', 0, 0, 0}));
  EXPECT_EQ(RegValue::fromString("", false).data.size(), 0u);
  EXPECT_EQ(RegValue::fromString("", false).asString(), "");
  EXPECT_EQ(user.asString(), "KVUSB1");
  // Text ends at the first NUL; a trailing odd byte is ignored by the reader.
  RegValue odd{RegType::Sz, bytes({'A', 0, 0, 0, 'B', 0})};
  EXPECT_EQ(odd.asString(), "A");
  // Non-ASCII text goes through UTF-16 and back, surrogate pairs included.
  const std::string jp = "\xe3\x83\x97\xe3\x83\xaa\xf0\x9f\x96\xa8";  // プリ and a printer emoji
  RegValue v = RegValue::fromString(jp, false);
  EXPECT_EQ(v.data.size(), 8u);
  EXPECT_EQ(v.asString(), jp);
  EXPECT_EQ(w98::utf8ToUtf16le("\xc0\xaf", false), std::nullopt) << "overlong";
  EXPECT_EQ(w98::utf8ToUtf16le("\xed\xa0\x80", false), std::nullopt) << "surrogate";
  EXPECT_EQ(w98::utf8ToUtf16le("\xe3\x83", false), std::nullopt) << "cut short";
  EXPECT_EQ(w98::utf16leToUtf8(bytes({0x00, 0xD8, 'A', 0})), std::nullopt) << "unpaired high surrogate";
  EXPECT_EQ(w98::utf16leToUtf8(bytes({0x00, 0xDC})), std::nullopt) << "lone low surrogate";
  EXPECT_EQ(w98::utf16leToUtf8(bytes({'A'})), std::nullopt);
}

TEST(RegistryExport, ShowsEachTypeInItsForm) {
  Registry r;
  r.createKey("HKLM\\Enum\\Root\\KVUSBCable");
  r.createKey("HKLM\\System\\Empty");
  const std::string k = "HKLM\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0000";
  r.createKey(k);
  r.setString(k, "Port Name", "KVUSB1", false);
  r.setString(k, "", "def \"q\" C:\\WIN");
  r.setDword(k, "MaxTransferSize", 0x400);
  r.setValue(k, "Bin", RegValue{RegType::Binary, bytes({0xde, 0xad})});
  r.setValue(k, "Multi", RegValue{RegType::MultiSz, bytes({'a', 0, 0, 0, 0, 0})});
  r.setValue(k, "ShortDword", RegValue{RegType::Dword, bytes({1, 2})});
  r.setValue(k, "Embedded", RegValue{RegType::Sz, bytes({'a', 0, 0, 0, 'b', 0})});
  r.setValue(k, "Custom", RegValue{static_cast<RegType>(0x1f), {}});
  const std::string expected =
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum]\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\Root]\n\n"
      "[HKEY_LOCAL_MACHINE\\Enum\\Root\\KVUSBCable]\n\n"
      "[HKEY_LOCAL_MACHINE\\System]\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet]\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services]\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class]\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC]\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0000]\n"
      "\"Port Name\"=\"KVUSB1\"\n"
      "@=\"def \\\"q\\\" C:\\\\WIN\"\n"
      "\"MaxTransferSize\"=dword:00000400\n"
      "\"Bin\"=hex:de,ad\n"
      "\"Multi\"=hex(7):61,00,00,00,00,00\n"
      "\"ShortDword\"=hex(4):01,02\n"
      "\"Embedded\"=hex(1):61,00,00,00,62,00\n"
      "\"Custom\"=hex(1f):\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\Empty]\n\n";
  EXPECT_EQ(r.exportText(), expected);
  EXPECT_EQ(r.exportText("hklm\\enum\\root"),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\Root]\n\n[HKEY_LOCAL_MACHINE\\Enum\\Root\\KVUSBCable]\n\n");
  EXPECT_EQ(r.exportText("HKLM\\Absent"), "REGEDIT4\n\n");
}

TEST(RegistryExport, RoundTripRebuildsTheSameRegistry) {
  Registry a;
  a.createKey("HKCU\\wininit");
  a.createKey("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\wininit.ini");
  a.setString("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\wininit.ini", "rename",
              "USR:wininit\\rename");
  a.setString("HKCU\\wininit", "jp", "\xe3\x83\x97\xe3\x83\xaa\xe3\x83\xb3\xe3\x82\xbf");
  a.setString("HKCU\\wininit", "tab", "a\tb");  // control character: written as hex(1)
  std::vector<uint8_t> big(200);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  a.setValue("HKCU\\wininit", "big", RegValue{RegType::Binary, big});
  a.setValue("HKEY_CURRENT_USER", "rootval", RegValue::fromDword(0xFFFFFFFF));
  const std::string text = a.exportText();
  EXPECT_NE(text.find("\\\n  "), std::string::npos) << "long data should continue on further lines";

  Registry b;
  ASSERT_EQ(b.importText(text), std::nullopt);
  EXPECT_EQ(b.exportText(), text);
  EXPECT_EQ(b.value("HKCU\\wininit", "big")->data, big);
  EXPECT_EQ(b.value("HKCU\\wininit", "tab")->asString(), "a\tb");
  EXPECT_EQ(b.stringValue("HKCU\\wininit", "jp"), "\xe3\x83\x97\xe3\x83\xaa\xe3\x83\xb3\xe3\x82\xbf");
  EXPECT_EQ(b.dwordValue("HKCU", "rootval"), 0xFFFFFFFFu);
  EXPECT_TRUE(b.keyExists("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\wininit.ini"));
}

TEST(RegistryImport, AcceptsRegeditVariants) {
  Registry r;
  r.createKey("HKLM\\Old\\Below");
  r.createKey("HKLM\\Keep");
  r.setDword("HKLM\\Keep", "gone", 1);
  const char* text =
      "\xEF\xBB\xBFREGEDIT4\r\n"
      "\r\n"
      "; a comment\r\n"
      "[-HKEY_LOCAL_MACHINE\\Old]\r\n"
      "[hklm\\Keep]\r\n"
      "\"gone\"=-\r\n"
      "  \"spaced\" = dword:1f  \r\n"
      "\"split\"=hex:01,02,\\\r\n"
      "   03,0a\r\n"
      "\"ms\"=hex(7):41,00,00,00\r\n";
  ASSERT_EQ(r.importText(text), std::nullopt);
  EXPECT_FALSE(r.keyExists("HKLM\\Old"));
  EXPECT_EQ(r.value("HKLM\\Keep", "gone"), std::nullopt);
  EXPECT_EQ(r.dwordValue("HKLM\\Keep", "spaced"), 0x1Fu);
  EXPECT_EQ(r.value("HKLM\\Keep", "split")->data, bytes({1, 2, 3, 10}));
  EXPECT_EQ(r.value("HKLM\\Keep", "ms")->type, RegType::MultiSz);
  // Imported strings carry their terminator, as user mode stores them.
  ASSERT_EQ(r.importText("REGEDIT4\n[HKLM\\Keep]\n@=\"x\"\n"), std::nullopt);
  EXPECT_EQ(r.value("HKLM\\Keep", "")->data, bytes({'x', 0, 0, 0}));
}

TEST(RegistryImport, BadInputNamesTheLineAndChangesNothing) {
  struct Case {
    std::string_view text;
    const char* line;
  };
  const Case cases[] = {
      {"", "line 1:"},
      {"REGEDIT5\n", "line 1:"},
      {"REGEDIT4\n\"a\"=dword:1\n", "line 2:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=dword:123456789\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=dword:xyz\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a=\"b\"\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=\"unterminated\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=\"x\" trailing\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\\n\"=\"x\"\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=hex:1,2,xx\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=hex:123\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=hex(7:00\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=hex(123456789):00\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=hex:01,\\\n 02,\\\n zz\n", "line 5:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=hex:01,\\", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=text\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"a\"=\"\xff\"\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A\n", "line 2:"},
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "line 2:"},
      {"REGEDIT4\n[HKLM\\A\\\\B]\n", "line 2:"},
      {"REGEDIT4\n[-HKLM]\n", "line 2:"},
      {"REGEDIT4\n[-HKLM\\A]\n\"a\"=dword:1\n", "line 3:"},
      {std::string_view("REGEDIT4\n[HKLM\\A]\n\"a\"=dword:1\0\n", 31), "line 3:"},
  };
  for (const auto& c : cases) {
    Registry r;
    r.createKey("HKLM\\A");
    r.setDword("HKLM\\A", "a", 7);
    const std::string before = r.exportText();
    auto err = r.importText(c.text);
    ASSERT_TRUE(err.has_value()) << c.text;
    EXPECT_EQ(err->rfind(c.line, 0), 0u) << "for input " << c.text << " got " << *err;
    EXPECT_EQ(r.exportText(), before) << "a failed import must change nothing: " << c.text;
  }
}

TEST(RegistryImport, FailedImportAfterGoodLinesAppliesNothing) {
  Registry r;
  auto err = r.importText("REGEDIT4\n[HKLM\\New]\n\"ok\"=dword:1\n[HKLM\\New2]\n\"bad\"=what\n");
  ASSERT_TRUE(err);
  EXPECT_NE(err->find("line 5"), std::string::npos);
  EXPECT_FALSE(r.keyExists("HKLM\\New"));
}

TEST(RegistryThreads, ConcurrentWritersAndReadersKeepTheTreeWhole) {
  Registry r;
  r.createKey("HKLM\\T");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&r, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string k = "HKLM\\T\\k" + std::to_string(t) + "_" + std::to_string(i);
        r.createKey(k);
        r.setDword(k, "v", static_cast<uint32_t>(i));
        (void)r.exportText("HKLM\\T");
        if (i % 2) r.deleteKeyTree(k);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(r.subkeys("HKLM\\T").size(), 4u * 100u);
  EXPECT_EQ(r.dwordValue("HKLM\\T\\k3_198", "v"), 198u);
}

}  // namespace
