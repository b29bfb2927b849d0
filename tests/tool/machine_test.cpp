// w98::Machine: the folder it lives in, boots, the device installer, and the user session it lends out.
#include "machine/machine.h"

#include <gtest/gtest.h>

#include "tool_test_util.h"

using tooltest::TempDir;

namespace {
const char kClass[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC";
const char kUsbKey[] = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002";
}  // namespace

TEST(Machine, AFreshFolderGetsTheDefaultsAndSaveKeepsTheRegistry) {
  TempDir dir;
  {
    w98::Machine m(dir.path());
    EXPECT_TRUE(m.registry().keyExists("HKLM\\System\\CurrentControlSet\\Control\\Print\\Monitors\\Local Port"));
    EXPECT_TRUE(m.registry().keyExists("HKLM\\System\\CurrentControlSet\\Control\\Print\\Ports\\LPT1"));
    EXPECT_TRUE(m.disk().isDirectory("C:\\WINDOWS\\SYSTEM"));
    EXPECT_TRUE(m.disk().isDirectory("C:\\WINDOWS\\INF\\OTHER"));
    EXPECT_EQ(m.registry().stringValue("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "SystemRoot"),
              "C:\\WINDOWS");
    m.registry().createKey("HKLM\\Software\\Test");
    m.registry().setDword("HKLM\\Software\\Test", "Answer", 42);
    m.disk().writeFile("C:\\WINDOWS\\note.txt", "kept");
    m.save();
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "registry.reg.new")) << "no half-written file is left";
  w98::Machine again(dir.path());
  EXPECT_EQ(again.registry().dwordValue("HKLM\\Software\\Test", "Answer"), 42u);
  EXPECT_EQ(again.disk().readFile("C:\\WINDOWS\\note.txt"), "kept");
}

TEST(Machine, ABadRegistryFileIsRefusedWithItsNameAndLine) {
  TempDir dir;
  {
    std::ofstream f(dir.path() / "registry.reg");
    f << "REGEDIT4\n\n[NOT_A_ROOT\\Key]\n";
  }
  try {
    w98::Machine m(dir.path());
    FAIL() << "a bad registry file was loaded";
  } catch (const std::runtime_error& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("registry.reg"), std::string::npos) << what;
    EXPECT_NE(what.find("line 3"), std::string::npos) << what;
  }
}

TEST(Machine, EachBootCarriesOutWininitBeforeAnythingElse) {
  TempDir dir;
  {
    w98::Machine m(dir.path());
    m.disk().writeFile("C:\\WINDOWS\\SYSTEM\\old.dll", "x");
    m.disk().writeFile("C:\\WINDOWS\\WININIT.INI", "[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\old.dll\r\n");
    m.disk().setInUse("C:\\WINDOWS\\SYSTEM\\old.dll", true);
    m.save();
  }
  w98::Machine m(dir.path());
  EXPECT_TRUE(m.lastBoot().ran);
  EXPECT_FALSE(m.disk().exists("C:\\WINDOWS\\SYSTEM\\old.dll"));
  EXPECT_TRUE(m.disk().exists("C:\\WINDOWS\\WININIT.BAK"));
  EXPECT_FALSE(m.disk().exists("C:\\WINDOWS\\WININIT.INI"));
  // A boot inside the session does the same with what was written since.
  m.disk().writeFile("C:\\WINDOWS\\SYSTEM\\later.dll", "y");
  m.disk().writeFile("C:\\WINDOWS\\WININIT.INI", "[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\later.dll\r\n");
  auto boot = m.boot();
  EXPECT_TRUE(boot.ran);
  ASSERT_EQ(boot.done.size(), 1u);
  EXPECT_FALSE(m.disk().exists("C:\\WINDOWS\\SYSTEM\\later.dll"));
  EXPECT_EQ(m.boots(), 2);
}

TEST(Machine, DevicesDoNotOutliveABootButTheirKeysDo) {
  TempDir dir;
  w98::Machine m(dir.path());
  int first = m.plug({});
  int second = m.plug({});
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  ASSERT_TRUE(m.devnode(second));
  EXPECT_EQ(m.registry().stringValue(m.devnode(second)->deviceKey, "Port Name"), "KVUSB2");
  EXPECT_EQ(m.unplug(second), 0);
  EXPECT_FALSE(m.devnode(second));
  EXPECT_THROW(m.unplug(second), std::out_of_range);
  m.boot();
  EXPECT_TRUE(m.presentCables().empty());
  EXPECT_EQ(m.cable(first), nullptr);
  for (const auto& d : m.kernel().pnp().devices()) ADD_FAILURE() << "devnode after boot: " << d.deviceId;
  EXPECT_TRUE(m.registry().keyExists(std::string(kUsbKey) + "\\1"));
  // After the boot the same port gives the same device key and driver key again.
  int again = m.plug({});
  EXPECT_EQ(m.devnode(again)->deviceKey, std::string("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002\\1"));
  EXPECT_EQ(m.registry().stringValue(std::string(kUsbKey) + "\\1", "Driver"), "USBQXC\\0000");
}

TEST(Machine, TheDeviceInstallerTakesTheUnclaimedDriverKeyThenCopiesItsParameters) {
  TempDir dir;
  w98::Machine m(dir.path());
  // What the product's installer leaves: a driver key that no device claims yet.
  m.registry().createKey(std::string(kClass) + "\\0000");
  m.registry().setDword(std::string(kClass) + "\\0000", "MaxTransferSize", 4096);
  m.plug({});
  m.plug({});
  EXPECT_EQ(m.registry().stringValue(std::string(kUsbKey) + "\\1", "Driver"), "USBQXC\\0000");
  EXPECT_EQ(m.registry().stringValue(std::string(kUsbKey) + "\\2", "Driver"), "USBQXC\\0001");
  EXPECT_EQ(m.registry().dwordValue(std::string(kClass) + "\\0001", "MaxTransferSize"), 4096u);
  EXPECT_EQ(m.devnode(2)->driverKey, std::string(kClass) + "\\0001");
}

TEST(Machine, TheLentUserSessionRecordsWhatTheProgramAskedAndTheMachinesOwnComesBack) {
  TempDir dir;
  w98::Machine m(dir.path());
  w98::UserInterface ui(std::vector<std::string>{"yes"});
  int answer = 0;
  m.withUserInterface(ui, [&](w98::UserSession& s) {
    EXPECT_EQ(&w98::UserSession::current(), &s);
    answer = s.ui().messageBox("caption", "text", 4 /* MB_YESNO */);
  });
  EXPECT_EQ(answer, 6 /* IDYES */);
  ASSERT_EQ(ui.shown().size(), 1u);
  EXPECT_EQ(ui.shown()[0].caption, "caption");
  EXPECT_TRUE(w98::UserSession::active());
  EXPECT_EQ(&w98::UserSession::current(), &m.user());
  // An exception inside still gives the machine its session back.
  EXPECT_THROW(m.withUserInterface(ui, [](w98::UserSession&) { throw std::runtime_error("x"); }), std::runtime_error);
  EXPECT_TRUE(w98::UserSession::active());
}
