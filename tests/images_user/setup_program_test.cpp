// The package's setup (the code of oslnkset.exe) on a bare host machine: what it leaves matches the INF the
// package ships, and a step that fails takes every earlier step back.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <sstream>

#include "host_machine.h"
#include "package_inf.h"
#include "product_setup.h"
#include "user/codepage.h"

namespace images {
namespace {

constexpr const char* kMedia = "C:\\MEDIA";
constexpr const char* kDriverKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0000";
const std::vector<std::string> kInstalled = {"C:\\WINDOWS\\SYSTEM\\oslnk.sys", "C:\\WINDOWS\\SYSTEM\\oslnkin.dll",
                                             "C:\\WINDOWS\\SYSTEM\\reveror.dll", "C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF"};

void PutMedia(HostMachine& m) {
  for (const char* name : {"oslnk.sys", "oslnkin.dll", "reveror.dll"})
    m.disk().writeFile(std::string(kMedia) + "\\" + name, std::string("MZ ") + name);
  m.disk().writeFile(std::string(kMedia) + "\\oslnk.inf", kPackageInfText);
  m.session().registerLibrary("oslnkin.dll", OSLNKIN_HOST_LIBRARY);
}

// The HKR lines of an INF section: value name -> the rest of the line after the name (flags and data).
std::map<std::string, std::string> InfRegistryLines(const std::string& section) {
  std::map<std::string, std::string> lines;
  std::istringstream in(kPackageInfText);
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') inside = line == "[" + section + "]";
    if (!inside || line.rfind("HKR,,", 0) != 0) continue;
    const std::string rest = line.substr(5);
    const auto comma = rest.find(',');
    lines[rest.substr(0, comma)] = rest.substr(comma + 1);
  }
  return lines;
}

// A REG_DWORD as the INF writes it: "0x00010001,b0,b1,b2,b3" (little-endian hex bytes).
uint32_t InfDword(const std::string& flagsAndData) {
  std::istringstream in(flagsAndData);
  std::string part;
  std::getline(in, part, ',');
  EXPECT_EQ(part, "0x00010001") << flagsAndData;
  uint32_t value = 0;
  for (int shift = 0; std::getline(in, part, ','); shift += 8) value |= std::stoul(part, nullptr, 16) << shift;
  return value;
}

std::string Message(const ProductSetup& setup, SetupResult r) {
  char text[1024];
  ComposeSetupMessage(setup, r, text, sizeof text);
  return w98::cp932ToUtf8(text);
}

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
  // The driver key holds what the INF's Windows 98 install section writes.
  auto parameters = InfRegistryLines("OSLNK.Parameters");
  ASSERT_EQ(parameters.size(), 3u);
  for (const auto& [name, data] : parameters) {
    auto value = m.registry().value(kDriverKey, name);
    ASSERT_TRUE(value) << name;
    EXPECT_EQ(value->asDword(), InfDword(data)) << name;
  }
  for (const auto& [name, data] : InfRegistryLines("OSLNK.Wdm98"))
    EXPECT_EQ(m.registry().stringValue(kDriverKey, name), data.substr(1)) << name;  // ",text"
  EXPECT_EQ(m.session().spooler().monitorDll("Molvex USB Cable Port Monitor"), "reveror.dll");
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

}  // namespace
}  // namespace images
