// The package's setup (the code of oslnkset.exe) on a bare host machine: what it leaves matches the INF the
// package ships, and a step that fails takes every earlier step back.
#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <functional>
#include <map>
#include <sstream>

#include "host_machine.h"
#include "package_inf.h"
#include "product_setup.h"
#include "steps/removal_steps.h"
#include "user/codepage.h"

namespace images {
namespace {

constexpr const char* kMedia = "C:\\MEDIA";
constexpr const char* kDriverKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0000";
const std::vector<std::string> kInstalled = {"C:\\WINDOWS\\SYSTEM\\oslnk.sys", "C:\\WINDOWS\\SYSTEM\\oslnkin.dll",
                                             "C:\\WINDOWS\\SYSTEM\\reveror.dll", "C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF"};

void PutMedia(HostMachine& m, const std::string& folder = kMedia) {
  for (const char* name : {"oslnk.sys", "oslnkin.dll", "reveror.dll"})
    m.disk().writeFile(folder + "\\" + name, std::string("MZ ") + name);
  m.disk().writeFile(folder + "\\oslnk.inf", kPackageInfText);
  m.session().registerLibrary("oslnkin.dll", OSLNKIN_HOST_LIBRARY);
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
  return parts;
}

// The INF's sections by name, each its lines without comments and trailing blanks.
std::map<std::string, std::vector<std::string>> InfSections() {
  std::map<std::string, std::vector<std::string>> sections;
  std::istringstream in(kPackageInfText);
  std::vector<std::string>* current = nullptr;
  for (std::string line; std::getline(in, line);) {
    line = line.substr(0, line.find(';'));
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (!line.empty() && line[0] == '[') current = &sections[line.substr(1, line.find(']') - 1)];
    else if (!line.empty() && current != nullptr) current->push_back(line);
  }
  return sections;
}

// The HKR lines of an INF section: value name -> the rest of the line after the name (flags and data).
std::map<std::string, std::string> InfRegistryLines(const std::string& section) {
  std::map<std::string, std::string> lines;
  auto sections = InfSections();
  for (const std::string& line : sections[section]) {
    if (line.rfind("HKR,,", 0) != 0) continue;
    const std::string rest = line.substr(5);
    lines[rest.substr(0, rest.find(','))] = rest.substr(rest.find(',') + 1);
  }
  return lines;
}

// A 4-byte number as the INF writes it: "flags,b0,b1,b2,b3" (little-endian hex bytes).
uint32_t InfDword(const std::string& flagsAndData, const std::string& flags) {
  const std::vector<std::string> parts = Split(flagsAndData);
  EXPECT_EQ(parts.at(0), flags) << flagsAndData;
  uint32_t value = 0;
  for (size_t i = 1; i < parts.size(); ++i) value |= std::stoul(parts[i], nullptr, 16) << (8 * (i - 1));
  return value;
}

// Every file that a CopyFiles list of the INF places, as a full path on a machine whose Windows folder is
// C:\WINDOWS (DIRID 10 the Windows folder, 11 its SYSTEM folder).
std::vector<std::string> InfCopiedFiles() {
  auto sections = InfSections();
  auto value = [&](const std::string& section, const std::string& key) {
    for (const std::string& line : sections[section])
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return std::string();
  };
  std::vector<std::string> files;
  for (const auto& section : sections) {
    for (const std::string& list : Split(value(section.first, "CopyFiles"))) {
      std::string destination = value("DestinationDirs", list);
      const std::vector<std::string> dir = Split(destination.empty() ? value("DestinationDirs", "DefaultDestDir") : destination);
      std::string folder = dir.at(0) == "11" ? "C:\\WINDOWS\\SYSTEM" : dir.at(0) == "10" ? "C:\\WINDOWS" : "?";
      if (dir.size() > 1) folder += "\\" + dir[1];
      for (const std::string& file : sections[list]) files.push_back(folder + "\\" + Split(file).at(0));
    }
  }
  return files;
}

std::string Message(const ProductSetup& setup, SetupResult r) {
  std::vector<char> text(ProductSetup::kMessageSize);
  ComposeSetupMessage(setup, r, text.data(), static_cast<int>(text.size()));
  return w98::cp932ToUtf8(text.data());
}

// What the helper's AddMonitor32 does in a test (refusing_helper.cpp calls it).
std::function<BOOL()> g_addMonitor;

TEST(SetupProgram, LeavesTheFilesKeysAndMonitorTheInfDescribesAndRunsAgainOverThem) {
  HostMachine m({});
  PutMedia(m);
  for (int run = 0; run < 2; ++run) {
    ProductSetup setup(kMedia);
    ASSERT_EQ(setup.Install(), kSetupDone) << "run " << run << ": " << setup.FailedItem() << " " << setup.FailedError();
    ASSERT_EQ(setup.InstalledFileCount(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(setup.InstalledFile(i), kInstalled[i]);
  }
  EXPECT_EQ(m.disk().readFile("C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF"), std::string(kPackageInfText));
  EXPECT_EQ(m.disk().list("C:\\WINDOWS\\SYSTEM").size(), 3u) << "the earlier files kept aside are gone";
  // The driver key holds the numbers that the INF writes: as REG_BINARY, the form Windows 98's installer
  // knows, and as REG_DWORD for the NT family.
  for (const auto& [section, flags] : {std::pair{"OSLNK.Parameters98", "0x00000001"}, {"OSLNK.Parameters", "0x00010001"}}) {
    auto parameters = InfRegistryLines(section);
    ASSERT_EQ(parameters.size(), 3u) << section;
    for (const auto& [name, data] : parameters) {
      auto value = m.registry().value(kDriverKey, name);
      ASSERT_TRUE(value) << name;
      EXPECT_EQ(value->asDword(), InfDword(data, flags)) << section << " " << name;
    }
  }
  for (const auto& [name, data] : InfRegistryLines("OSLNK.Wdm98"))
    EXPECT_EQ(m.registry().stringValue(kDriverKey, name), data.substr(1)) << name;  // ",text"
  EXPECT_EQ(m.session().spooler().monitorDll("Molvex USB Cable Port Monitor"), "reveror.dll");
}

TEST(SetupProgram, TheRemovalDeletesEveryFileThatSetupOrTheInfPlaces) {
  HostMachine m({});
  PutMedia(m);
  ProductSetup setup(kMedia);
  ASSERT_EQ(setup.Install(), kSetupDone);
  std::vector<std::string> placed = InfCopiedFiles();
  ASSERT_FALSE(placed.empty());
  for (const std::string& f : placed)
    if (!m.disk().exists(f)) m.disk().writeFile(f, "copied by the device installer");
  for (int i = 0; i < setup.InstalledFileCount(); ++i) placed.push_back(setup.InstalledFile(i));
  RemovalSteps(nullptr).RemoveFiles();
  for (const std::string& f : placed) EXPECT_FALSE(m.disk().exists(f)) << f;
}

TEST(SetupProgram, AFailedStepUndoesEveryEarlierStepAndNamesWhatFailed) {
  struct Case {
    const char* what;
    void (*arrange)(HostMachine&);
    SetupResult expected;
    const char* item;
    std::map<std::string, std::string> left;  // files there afterwards, with their content
  };
  const Case cases[] = {
      {"a file missing on the media", [](HostMachine& m) { m.disk().deleteFile("C:\\MEDIA\\reveror.dll"); },
       kSetupSourceMissing, "C:\\MEDIA\\reveror.dll", {}},
      {"a read-only file in the system directory, after an earlier setup's driver",
       [](HostMachine& m) {
         m.disk().writeFile("C:\\WINDOWS\\SYSTEM\\oslnk.sys", "earlier driver");
         m.disk().writeFile("C:\\WINDOWS\\SYSTEM\\reveror.dll", "older");
         m.disk().setAttributes("C:\\WINDOWS\\SYSTEM\\reveror.dll", FILE_ATTRIBUTE_READONLY);
       },
       kSetupCopyFailed, "C:\\WINDOWS\\SYSTEM\\reveror.dll",
       {{"C:\\WINDOWS\\SYSTEM\\oslnk.sys", "earlier driver"}, {"C:\\WINDOWS\\SYSTEM\\reveror.dll", "older"}}},
      {"a helper that does not load", [](HostMachine& m) { m.session().registerLibrary("oslnkin.dll", "/nonexistent.so"); },
       kSetupHelperFailed, "C:\\WINDOWS\\SYSTEM\\oslnkin.dll", {}},
      {"a folder in place of a media file",
       [](HostMachine& m) {
         m.disk().deleteFile("C:\\MEDIA\\reveror.dll");
         m.disk().createDirectories("C:\\MEDIA\\reveror.dll");
       },
       kSetupSourceMissing, "C:\\MEDIA\\reveror.dll", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostMachine m({});
    PutMedia(m);
    c.arrange(m);
    ProductSetup setup(kMedia);
    const SetupResult r = setup.Install();
    EXPECT_EQ(r, c.expected);
    EXPECT_STREQ(setup.FailedItem(), c.item);
    const std::string message = Message(setup, r);
    EXPECT_NE(message.find(c.item), std::string::npos) << message;
    EXPECT_NE(message.find("インストールを取り消しました"), std::string::npos) << message;
    // Nothing of the package is left, and what was there before is as it was.
    for (const auto& f : kInstalled) {
      auto it = c.left.find(f);
      EXPECT_EQ(m.disk().readFile(f), it == c.left.end() ? std::nullopt : std::optional<std::string>(it->second)) << f;
    }
    EXPECT_EQ(m.disk().list("C:\\WINDOWS\\SYSTEM").size(), c.left.size());
    EXPECT_FALSE(m.registry().keyExists(HostMachine::kClass));
    EXPECT_TRUE(m.session().spooler().monitors().empty());
  }
}

// 表 is 0x95 0x5C in code page 932: its second byte is the byte of '\'.
TEST(SetupProgram, InstallsFromAnyFolderAJapaneseUserCanNameAndRefusesOneItCannotHold) {
  const std::string hyo = "C:\\MEDIA\\\x95\x5C";
  char folder[MAX_PATH];
  ASSERT_TRUE(MediaFolderOf((hyo + "\\oslnkset.exe").c_str(), folder, sizeof folder));
  EXPECT_EQ(std::string(folder), hyo);
  EXPECT_FALSE(MediaFolderOf("oslnkset.exe", folder, sizeof folder)) << "no folder is never the current one";
  {
    HostMachine m({});
    PutMedia(m, hyo);
    ProductSetup setup(hyo.c_str());
    EXPECT_EQ(setup.Install(), kSetupDone) << w98::cp932ToUtf8(setup.FailedItem());
  }
  // A folder too long for any path below it, and an unknown one: refused, with nothing installed.
  const std::string tooLong = "C:\\" + std::string(120, 'A') + "\\" + std::string(140, 'B');
  for (const char* source : {tooLong.c_str(), static_cast<const char*>(nullptr)}) {
    HostMachine m({});
    PutMedia(m);
    ProductSetup setup(source);
    const SetupResult r = setup.Install();
    EXPECT_EQ(r, source ? kSetupPathTooLong : kSetupNoMediaFolder);
    EXPECT_NE(Message(setup, r).find(source ? "フォルダのパスが長すぎます：\nC:\\AAA" : "フォルダが分かりません"),
              std::string::npos)
        << Message(setup, r);
    EXPECT_TRUE(m.disk().list("C:\\WINDOWS\\SYSTEM").empty());
  }
}

// An earlier installation's driver key settings stay when they are a REG_DWORD or the 4-byte REG_BINARY of
// Windows 98's installer; other forms become the default. Setup writes REG_DWORD.
TEST(SetupProgram, KeepsEarlierDriverKeySettingsInEitherFormAndReplacesBadOnes) {
  HostMachine m({});
  PutMedia(m);
  const std::string key = std::string(HostMachine::kClass) + "\\0000";
  m.registry().createKey(key);
  auto binary = [&](const char* name, std::vector<uint8_t> bytes) {
    m.registry().setValue(key, name, {w98::RegType::Binary, std::move(bytes)});
  };
  binary("MaxTransferSize", {0x00, 0x10, 0x00, 0x00});
  binary("IFSetting", {0x03, 0x00});
  binary("AltSetting", std::vector<uint8_t>(9, 0x01));
  ASSERT_EQ(ProductSetup(kMedia).Install(), kSetupDone);
  EXPECT_EQ(m.registry().dwordValue(key, "MaxTransferSize"), 4096u);
  EXPECT_EQ(m.registry().value(key, "IFSetting"), w98::RegValue::fromDword(2));
  EXPECT_EQ(m.registry().value(key, "AltSetting"), w98::RegValue::fromDword(0));
  m.registry().setDword(key, "IFSetting", 1);
  m.registry().setString(key, "AltSetting", "1");
  ASSERT_EQ(ProductSetup(kMedia).Install(), kSetupDone);
  EXPECT_EQ(m.registry().value(key, "IFSetting"), w98::RegValue::fromDword(1));
  EXPECT_EQ(m.registry().value(key, "AltSetting"), w98::RegValue::fromDword(0));
}

// Setup fails at its last step, over an earlier installation whose driver is held in use by then: the class
// and driver keys come back as they were, and the message names the driver it could not put back.
TEST(SetupProgram, ARollbackPutsEarlierValuesBackAndNamesWhatItCouldNotRestore) {
  HostMachine m({});
  PutMedia(m);
  m.session().registerLibrary("oslnkin.dll", REFUSING_HELPER_LIBRARY);
  const std::string driver = "C:\\WINDOWS\\SYSTEM\\oslnk.sys", classKey = HostMachine::kClass;
  m.disk().writeFile(driver, "earlier driver");
  m.registry().createKey(classKey + "\\0000");
  m.registry().setString(classKey, "", "Earlier class");
  m.registry().setString(classKey, "Other", "kept");
  m.registry().setString(classKey + "\\0000", "DriverDesc", "Earlier cable");
  m.registry().setValue(classKey + "\\0000", "MaxTransferSize", {w98::RegType::Binary, {0x00, 0x02, 0x00, 0x00}});
  const std::string before = m.registry().exportText(classKey);
  g_addMonitor = [&] {
    m.disk().setInUse(driver, true);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  };
  ProductSetup setup(kMedia);
  const SetupResult r = setup.Install();
  g_addMonitor = nullptr;
  EXPECT_EQ(r, kSetupMonitorFailed);
  EXPECT_EQ(m.registry().exportText(classKey), before);
  const std::string message = Message(setup, r);
  EXPECT_EQ(message.find("何も変更されていません"), std::string::npos) << message;
  EXPECT_NE(message.find("元に戻せませんでした：\n" + driver + "（以前のファイルの控え：" + driver + ".~os）"),
            std::string::npos)
      << message;
  EXPECT_EQ(m.disk().readFile(driver + ".~os"), "earlier driver") << "the earlier driver is kept";
  EXPECT_EQ(m.disk().list("C:\\WINDOWS\\SYSTEM"), (std::vector<std::string>{"oslnk.sys", "oslnk.sys.~os"}));
}

}  // namespace
}  // namespace images

extern "C" __attribute__((visibility("default"))) BOOL TestAddMonitor32(LPSTR, DWORD, LPBYTE) {
  return images::g_addMonitor ? images::g_addMonitor() : FALSE;
}
