#include "steps/removal_steps.h"

#include <cstdio>

#include "user_fixture.h"

namespace {

constexpr const char* kPorts = "HKLM\\System\\CurrentControlSet\\Control\\Print\\Ports";
constexpr const char* kClass = "HKLM\\System\\CurrentControlSet\\Services\\Class";
constexpr const char* kMonitors = "HKLM\\System\\CurrentControlSet\\Control\\Print\\Monitors";
constexpr const char* kMonitor = "Molvex USB Cable Port Monitor";
constexpr const char* kUsbKey = "HKLM\\Enum\\USB\\VID_0F1B&PID_1002";
constexpr const char* kRootKey = "HKLM\\Enum\\Root\\KVUSBCable";
constexpr const char* kSharedFile = "共有ファイルを削除しようとしました";

const std::vector<std::string> kInstalledFiles = {
    "C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF", "C:\\WINDOWS\\SYSTEM\\dudirar.dll", "C:\\WINDOWS\\SYSTEM\\oslnkin.dll",
    "C:\\WINDOWS\\SYSTEM\\reveror.dll", "C:\\WINDOWS\\SYSTEM\\oslnk.sys"};

class Removal : public w98test::UserMachine {
 protected:
  // A machine with the product installed beside things that are not the product's.
  void install(const std::vector<std::string>& ports = {"KVUSB1", "KVUSB2", "LPT1", "COM1"}) {
    session->spooler().addMonitor(nullptr, 2, kMonitor, "Windows 4.0", "reveror.dll");
    session->spooler().addMonitor(nullptr, 2, "Local Port", "Windows 4.0", "localmon.dll");
    for (const auto& p : ports) session->spooler().addPort(p);
    registry.createKey(std::string(kClass) + "\\USBQXC\\0000");
    registry.setString(std::string(kClass) + "\\USBQXC\\0000", "Port Name", "KVUSB1", false);
    registry.createKey(std::string(kClass) + "\\Printers\\0000");
    registry.createKey(std::string(kUsbKey) + "\\5&1A2B\\Device Parameters");
    registry.createKey("HKLM\\Enum\\USB\\ROOT_HUB\\4&1");
    registry.createKey(std::string(kRootKey) + "\\0000");
    registry.createKey("HKLM\\Enum\\Root\\Printer\\0000");
    for (const auto& f : kInstalledFiles) disk->writeFile(f, "product");
    disk->writeFile("C:\\WINDOWS\\SYSTEM\\keep.dll", "not ours");
    disk->writeFile("C:\\WINDOWS\\INF\\OTHER\\OTHER.INF", "not ours");
  }
  std::vector<std::string> messageCaptions() const {
    std::vector<std::string> out;
    for (const auto& b : ui->messageBoxes()) {
      EXPECT_EQ(b.text, kSharedFile);
      EXPECT_EQ(b.buttons, std::vector<std::string>{"OK"});
      out.push_back(b.caption);
    }
    return out;
  }
  std::vector<std::string> remainingFiles() const {
    std::vector<std::string> out;
    for (const auto& f : kInstalledFiles) {
      if (disk->exists(f)) out.push_back(f);
    }
    return out;
  }
  std::string wininit() const { return disk->readFile("C:\\WINDOWS\\WININIT.INI").value_or(""); }

  RemovalSteps steps{nullptr};
};

// ---- RemoveRegistryEntries ---------------------------------------------------------------------------------

TEST_F(Removal, PortPassDeletesExactlyTheKvusbPrefixedKeys) {
  install({"KVUSB1", "KVUSB2", "KVUSB", "KVUS", "kvusb3", "LPT1", "COM1", "KVUSB12", "XKVUSB"});
  registry.createKey(std::string(kPorts) + "\\KVUSB2\\Sub");
  EXPECT_EQ(steps.RemoveRegistryEntries(), 0);
  EXPECT_EQ(registry.subkeys(kPorts), (std::vector<std::string>{"COM1", "KVUS", "kvusb3", "LPT1", "XKVUSB"}));
}

TEST_F(Removal, RegistryEntriesGoAndOthersStay) {
  install();
  EXPECT_EQ(steps.RemoveRegistryEntries(), 0);
  EXPECT_FALSE(registry.keyExists(std::string(kClass) + "\\USBQXC"));
  EXPECT_TRUE(registry.keyExists(std::string(kClass) + "\\Printers\\0000"));
  EXPECT_FALSE(registry.keyExists(kUsbKey));
  EXPECT_TRUE(registry.keyExists("HKLM\\Enum\\USB\\ROOT_HUB\\4&1"));
  EXPECT_FALSE(registry.keyExists(std::string(kMonitors) + "\\" + kMonitor));
  EXPECT_TRUE(registry.keyExists(std::string(kMonitors) + "\\Local Port"));
  EXPECT_TRUE(registry.keyExists(kRootKey)) << "the root device key is another step's";
  // The spooler was asked first, with the local spooler and the Windows 98 environment.
  auto calls = session->spooler().calls();
  ASSERT_EQ(calls.back().op, "DeleteMonitor");
  EXPECT_EQ(calls.back().server, std::nullopt);
  EXPECT_EQ(calls.back().environment, "Windows 4.0");
  EXPECT_EQ(calls.back().monitor, kMonitor);
  EXPECT_EQ(calls.back().error, 0u);
  EXPECT_EQ(session->openKeyHandles(), 0u) << "every key opened was closed";
}

TEST_F(Removal, MissingEnumEndsTheStepBeforeTheDeviceAndMonitorKeys) {
  install();
  // The spooler will not drop a monitor that is printing, so its key is still there for the step.
  registry.deleteKeyTree("HKLM\\Enum");
  session->spooler().setMonitorInUse(kMonitor, true);
  EXPECT_EQ(steps.RemoveRegistryEntries(), -1);
  EXPECT_EQ(session->spooler().calls().back().error, static_cast<uint32_t>(ERROR_PRINT_MONITOR_IN_USE));
  EXPECT_EQ(registry.subkeys(kPorts), (std::vector<std::string>{"COM1", "LPT1"})) << "ports went before";
  EXPECT_FALSE(registry.keyExists(std::string(kClass) + "\\USBQXC")) << "the class key went before";
  EXPECT_TRUE(registry.keyExists(std::string(kMonitors) + "\\" + kMonitor)) << "the monitor's key stays";
  EXPECT_EQ(session->openKeyHandles(), 0u);
}

TEST_F(Removal, MissingMonitorsKeyEndsTheStepAfterTheDeviceKeys) {
  install();
  registry.deleteKeyTree(kMonitors);
  EXPECT_EQ(steps.RemoveRegistryEntries(), -1);
  EXPECT_FALSE(registry.keyExists(kUsbKey));
  EXPECT_EQ(session->openKeyHandles(), 0u);
}

TEST_F(Removal, MissingPortsAndClassKeysAreSkipped) {
  install();
  registry.deleteKeyTree(kPorts);
  registry.deleteKeyTree(kClass);
  EXPECT_EQ(steps.RemoveRegistryEntries(), 0);
  EXPECT_FALSE(registry.keyExists(kUsbKey));
  EXPECT_FALSE(registry.keyExists(std::string(kMonitors) + "\\" + kMonitor));
}

TEST_F(Removal, APortKeyThatWillNotGoIsPassedOver) {
  w98::UserSession::Options options;
  options.lockedKeys = {std::string(kPorts) + "\\KVUSB1"};
  boot({}, options);
  install({"KVUSB1", "KVUSB2", "KVUSB3", "LPT1"});
  EXPECT_EQ(steps.RemoveRegistryEntries(), 0) << "the pass ends";
  EXPECT_EQ(registry.subkeys(kPorts), (std::vector<std::string>{"KVUSB1", "LPT1"}));
}

TEST_F(Removal, KeysWithSubkeysGoAlsoWhereDeletionIsNotRecursive) {
  w98::UserSession::Options nt;
  nt.recursiveKeyDelete = false;
  boot({}, nt);
  install();
  registry.createKey(std::string(kPorts) + "\\KVUSB1\\A\\B");
  EXPECT_EQ(steps.RemoveRegistryEntries(), 0);
  EXPECT_EQ(steps.RemoveRootDeviceKey(), 0);
  EXPECT_EQ(registry.subkeys(kPorts), (std::vector<std::string>{"COM1", "LPT1"}));
  EXPECT_FALSE(registry.keyExists(std::string(kClass) + "\\USBQXC"));
  EXPECT_FALSE(registry.keyExists(kUsbKey));
  EXPECT_FALSE(registry.keyExists(kRootKey));
  EXPECT_TRUE(registry.keyExists("HKLM\\Enum\\Root\\Printer\\0000"));
  EXPECT_EQ(session->openKeyHandles(), 0u);
}

// ---- RemoveRootDeviceKey -----------------------------------------------------------------------------------

TEST_F(Removal, RootDeviceKeyGoesWithEverythingBelow) {
  install();
  EXPECT_EQ(steps.RemoveRootDeviceKey(), 0);
  EXPECT_FALSE(registry.keyExists(kRootKey));
  EXPECT_TRUE(registry.keyExists("HKLM\\Enum\\Root\\Printer\\0000"));
  EXPECT_EQ(steps.RemoveRootDeviceKey(), 0) << "already gone: the parent still opens";
  registry.deleteKeyTree("HKLM\\Enum");
  EXPECT_EQ(steps.RemoveRootDeviceKey(), -1);
}

// ---- RemoveFiles -------------------------------------------------------------------------------------------

TEST_F(Removal, FilesGoFromTheirExactPathsAndOthersStay) {
  install();
  steps.RemoveFiles();
  EXPECT_TRUE(remainingFiles().empty());
  EXPECT_TRUE(disk->exists("C:\\WINDOWS\\SYSTEM\\keep.dll"));
  EXPECT_TRUE(disk->exists("C:\\WINDOWS\\INF\\OTHER\\OTHER.INF"));
  EXPECT_TRUE(ui->shown().empty());
}

TEST_F(Removal, ReadOnlyLibrariesGoButAReadOnlySetupFileIsReported) {
  install();
  for (const auto& f : kInstalledFiles) disk->setAttributes(f, w98::Disk::kReadOnly | w98::Disk::kArchive);
  boot({"ok"});
  steps.RemoveFiles();
  EXPECT_EQ(remainingFiles(), std::vector<std::string>{"C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF"});
  EXPECT_EQ(messageCaptions(), std::vector<std::string>{"C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF"});
}

TEST_F(Removal, FilesInUseAreReportedInOrderExceptTheMonitorLibrary) {
  install();
  for (const auto& f : kInstalledFiles) disk->setInUse(f, true);
  boot({"ok", "", "ok", "ok"});
  steps.RemoveFiles();
  EXPECT_EQ(remainingFiles(), kInstalledFiles);
  EXPECT_EQ(messageCaptions(),
            (std::vector<std::string>{"C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF", "C:\\WINDOWS\\SYSTEM\\dudirar.dll",
                                      "C:\\WINDOWS\\SYSTEM\\oslnkin.dll", "C:\\WINDOWS\\SYSTEM\\oslnk.sys"}));
}

TEST_F(Removal, OnlyTheMonitorLibraryInUseIsSilentAndStays) {
  install();
  disk->setInUse("C:\\WINDOWS\\SYSTEM\\reveror.dll", true);
  steps.RemoveFiles();
  EXPECT_EQ(remainingFiles(), std::vector<std::string>{"C:\\WINDOWS\\SYSTEM\\reveror.dll"});
  EXPECT_TRUE(ui->shown().empty());
}

TEST_F(Removal, AbsentFilesPassSilently) {
  install();
  for (const auto& f : {kInstalledFiles[0], kInstalledFiles[2], kInstalledFiles[4]}) disk->deleteFile(f);
  steps.RemoveFiles();
  EXPECT_TRUE(remainingFiles().empty());
  EXPECT_TRUE(ui->shown().empty());
}

TEST_F(Removal, SetupFileBaseIsTheSystemDirectorysParent) {
  w98::UserSession::Options options;
  options.windowsDirectory = "C:\\WIN98";
  options.systemDirectory = "C:\\WIN98\\SYS32";
  boot({}, options);
  disk->writeFile("C:\\WIN98\\INF\\OTHER\\DODOZEREDID.INF", "x");
  disk->writeFile("C:\\WIN98\\SYS32\\oslnk.sys", "x");
  disk->writeFile("C:\\WIN98\\INF\\OTHER\\DODOZEREDID.INF.keep", "x");
  steps.RemoveFiles();
  EXPECT_FALSE(disk->exists("C:\\WIN98\\INF\\OTHER\\DODOZEREDID.INF"));
  EXPECT_FALSE(disk->exists("C:\\WIN98\\SYS32\\oslnk.sys"));
  EXPECT_TRUE(disk->exists("C:\\WIN98\\INF\\OTHER\\DODOZEREDID.INF.keep"));
}

TEST_F(Removal, UnreadableSystemDirectoryTouchesNoFile) {
  install();
  session->options().systemDirectory.reset();
  steps.RemoveFiles();
  EXPECT_EQ(remainingFiles(), kInstalledFiles);
  EXPECT_TRUE(ui->shown().empty());
  EXPECT_EQ(steps.ScheduleMonitorDllRemoval(), 0);
  EXPECT_EQ(wininit(), "") << "no entry built on an empty base";
  EXPECT_TRUE(registry.keyExists("HKCU\\wininit")) << "the mapping keys are still written";
}

TEST_F(Removal, PathsThatWouldNotFitAreSkipped) {
  // A system directory of 249 characters: "\oslnk.sys" (10) still fits in 259, the 12-character names do not,
  // and the setup file's base (its parent) leaves room for it.
  const std::string parent = "C:\\" + std::string(120, 'P');
  const std::string system = parent + "\\" + std::string(249 - parent.size() - 1, 'S');
  ASSERT_EQ(system.size(), 249u);
  w98::UserSession::Options options;
  options.systemDirectory = system;
  boot({}, options);
  disk->writeFile(system + "\\oslnk.sys", "x");
  disk->writeFile(parent + "\\INF\\OTHER\\DODOZEREDID.INF", "x");
  steps.RemoveFiles();
  EXPECT_FALSE(disk->exists(system + "\\oslnk.sys"));
  EXPECT_FALSE(disk->exists(parent + "\\INF\\OTHER\\DODOZEREDID.INF"));
  EXPECT_TRUE(ui->shown().empty());
  // Too long for the [rename] entry as well: nothing half-built is written.
  EXPECT_EQ(steps.ScheduleMonitorDllRemoval(), 0);
  EXPECT_EQ(wininit(), "");
}

// Runs RemoveFiles from inside a dialog, as the removal dialog does, with the dialog as owner.
RemovalSteps* g_steps = nullptr;
INT_PTR CALLBACK ownerProc(HWND dlg, UINT msg, WPARAM, LPARAM) {
  if (msg != WM_INITDIALOG) return FALSE;
  g_steps->SetOwnerWindow(dlg);
  g_steps->RemoveFiles();
  g_steps->SetOwnerWindow(nullptr);
  EndDialog(dlg, IDOK);
  return TRUE;
}

TEST_F(Removal, MessagesBelongToTheOwnerWindow) {
  install();
  disk->setInUse(kInstalledFiles[1], true);
  boot({"ok"});
  session->registerDialog(102, w98::DialogTemplate{});
  g_steps = &steps;
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(102), nullptr, ownerProc, 0), IDOK);
  EXPECT_EQ(messageCaptions(), std::vector<std::string>{kInstalledFiles[1]});
  // An owner that is no window any more: the box cannot be shown, and the step still ends.
  HWND gone = reinterpret_cast<HWND>(uintptr_t{0x7777});
  steps.SetOwnerWindow(gone);
  ui->clearShown();
  steps.RemoveFiles();
  EXPECT_TRUE(ui->shown().empty());
  EXPECT_EQ(remainingFiles(), std::vector<std::string>{kInstalledFiles[1]});
}

// ---- ScheduleMonitorDllRemoval -----------------------------------------------------------------------------

TEST_F(Removal, MonitorLibraryIsEnteredForDeletionAtTheNextStart) {
  EXPECT_NE(steps.ScheduleMonitorDllRemoval(), 0);
  EXPECT_EQ(wininit(), "[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\reveror.dll\r\n");
  const char* mapping = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\wininit.ini";
  EXPECT_EQ(registry.stringValue(mapping, "rename"), "USR:wininit\\rename");
  EXPECT_EQ(registry.value(mapping, "rename")->data.size(), 38u) << "19 bytes with the terminator";
  EXPECT_TRUE(registry.keyExists("HKEY_CURRENT_USER\\wininit"));
  EXPECT_TRUE(registry.values("HKEY_CURRENT_USER\\wininit").empty());
  EXPECT_EQ(session->profileFlushes(), 1);
  EXPECT_EQ(session->openKeyHandles(), 0u);
}

TEST_F(Removal, OtherProgramsRenameEntriesStay) {
  disk->writeFile("C:\\WINDOWS\\WININIT.INI",
                  "[Rename]\r\nNUL=C:\\WINDOWS\\TEMP\\other.tmp\r\nC:\\A.DLL=C:\\B.DLL\r\n\r\n[Misc]\r\nx=1\r\n");
  EXPECT_NE(steps.ScheduleMonitorDllRemoval(), 0);
  EXPECT_EQ(wininit(),
            "[Rename]\r\nNUL=C:\\WINDOWS\\TEMP\\other.tmp\r\nC:\\A.DLL=C:\\B.DLL\r\nNUL=C:\\WINDOWS\\SYSTEM\\reveror.dll\r\n"
            "\r\n[Misc]\r\nx=1\r\n");
  // Again: the entry is there once.
  EXPECT_NE(steps.ScheduleMonitorDllRemoval(), 0);
  EXPECT_EQ(wininit(),
            "[Rename]\r\nNUL=C:\\WINDOWS\\TEMP\\other.tmp\r\nC:\\A.DLL=C:\\B.DLL\r\nNUL=C:\\WINDOWS\\SYSTEM\\reveror.dll\r\n"
            "\r\n[Misc]\r\nx=1\r\n");
}

// The section is read into a fixed 32 KB buffer: one that nearly fills it is rewritten whole with the entry
// added; a longer one gets the entry by a single-key write, unless another NUL= entry is there, which that
// write would replace: then nothing is written. In every case no other entry is lost.
TEST_F(Removal, LongRenameSectionsKeepEveryEntry) {
  struct Case {
    size_t entries;  // 30 bytes each: about 30,000 and 36,000 bytes
    const char* other;
    bool added;
  };
  for (const Case& c : {Case{1000, "NUL=C:\\OTHER.TMP\r\n", true}, Case{1200, "", true},
                        Case{1200, "NUL=C:\\OTHER.TMP\r\n", false}}) {
    SCOPED_TRACE(c.entries);
    std::string text = "[rename]\r\n" + std::string(c.other);
    for (size_t i = 0; i < c.entries; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, "C:\\T\\%05zu.TMP=C:\\U\\%05zu.TMP\r\n", i, i);
      text += line;
    }
    disk->writeFile("C:\\WINDOWS\\WININIT.INI", text);
    EXPECT_EQ(steps.ScheduleMonitorDllRemoval() != 0, c.added);
    const std::string after = wininit();
    EXPECT_EQ(after.find(text.substr(10)), 10u) << "entries lost or changed";
    EXPECT_EQ(after.find("NUL=C:\\WINDOWS\\SYSTEM\\reveror.dll\r\n") != std::string::npos, c.added);
  }
}

TEST_F(Removal, ReadOnlyWininitMakesTheWriteFail) {
  disk->writeFile("C:\\WINDOWS\\WININIT.INI", "");
  disk->setAttributes("C:\\WINDOWS\\WININIT.INI", w98::Disk::kReadOnly);
  EXPECT_EQ(steps.ScheduleMonitorDllRemoval(), 0);
}

// ---- The steps together, as the dialog runs them ---------------------------------------------------------

TEST_F(Removal, SecondRunOnACleanMachineShowsAndChangesNothing) {
  install();
  disk->setInUse("C:\\WINDOWS\\SYSTEM\\reveror.dll", true);
  auto runAll = [this] {
    steps.RemoveRegistryEntries();
    steps.RemoveRootDeviceKey();
    steps.RemoveFiles();
    return steps.ScheduleMonitorDllRemoval();
  };
  EXPECT_NE(runAll(), 0);
  EXPECT_TRUE(ui->shown().empty()) << "the monitor library in use is silent";
  const std::string registryAfter = registry.exportText();
  const std::string wininitAfter = wininit();
  EXPECT_NE(registryAfter.find("USR:wininit\\\\rename"), std::string::npos);

  EXPECT_NE(runAll(), 0);
  EXPECT_TRUE(ui->shown().empty());
  EXPECT_EQ(registry.exportText(), registryAfter);
  EXPECT_EQ(wininit(), wininitAfter);
  EXPECT_EQ(remainingFiles(), std::vector<std::string>{"C:\\WINDOWS\\SYSTEM\\reveror.dll"});

  // The next start of Windows takes the monitor library away.
  auto boot = w98::runWininit(*disk);
  EXPECT_EQ(boot.done, std::vector<std::string>{"delete C:\\WINDOWS\\SYSTEM\\reveror.dll"});
  EXPECT_TRUE(remainingFiles().empty());
}

}  // namespace
