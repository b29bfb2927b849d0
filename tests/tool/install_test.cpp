// The installer and the removal program on the simulated machine, through the tool's install, uninstall,
// boot and check-clean commands.
#include <gtest/gtest.h>

#include "tool_test_util.h"

using namespace tooltest;

namespace {
const std::string kJob = "print KVUSB1 " + sourceFile("docs/sample-job.txt") + "\n";

std::vector<std::string> strings(const Json& a) {
  std::vector<std::string> v;
  for (const auto& x : a.asArray()) v.push_back(x.asString());
  return v;
}
bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}
}  // namespace

TEST(Install, PutsFilesKeysAndTheMonitorWhereTheRemovalLooks) {
  ScriptRun r = runScript("install\nplug\n" + kJob +
                          "registry \"HKLM\\System\\CurrentControlSet\\Control\\Print\\Monitors\\Molvex USB Cable Port "
                          "Monitor\"\ncheck-clean\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  const Json& inst = r.lines[0];
  EXPECT_TRUE(inst["monitor_added"].asBool()) << r.out;
  auto files = strings(inst["files"]);
  for (const char* f : {"C:\\WINDOWS\\SYSTEM\\oslnk.sys", "C:\\WINDOWS\\SYSTEM\\oslnkin.dll",
                        "C:\\WINDOWS\\SYSTEM\\reveror.dll", "C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF"})
    EXPECT_TRUE(contains(files, f)) << f;
  // The monitor was registered by the spooler on oslnkin's behalf, with its library.
  std::string monitor = r.lines[3]["text"].asString();
  EXPECT_NE(monitor.find("\"Driver\"=\"reveror.dll\""), std::string::npos) << monitor;
  // Everything the product has: class, USB device, monitor, the port the monitor served, files.
  auto left = strings(r.lines[4]["left"]);
  EXPECT_FALSE(r.lines[4]["clean"].asBool());
  for (const char* k : {"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC",
                        "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002",
                        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Ports\\KVUSB1"})
    EXPECT_TRUE(contains(left, k)) << k << "\n" << r.out;
}

TEST(Install, TheFirstCableUsesTheInstalledDriverKey) {
  ScriptRun r = runScript("install\nplug\nregistry \"HKLM\\Enum\\USB\\VID_0F1B&PID_1002\"\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_NE(r.lines[2]["text"].asString().find("\"Driver\"=\"USBQXC\\\\0000\""), std::string::npos) << r.out;
}

TEST(Uninstall, YesThenYesRemovesEverythingAndTheBootDeletesTheMonitorLibrary) {
  ScriptRun r = runScript("install\nplug\n" + kJob + "unplug 1\nuninstall yes yes ok\ncheck-clean\nboot\ncheck-clean\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  const Json& un = r.lines[4];
  EXPECT_TRUE(un["restart_requested"].asBool()) << r.out;
  const Json& shown = un["shown"];
  ASSERT_EQ(shown.size(), 3u) << r.out;
  EXPECT_EQ(shown[0]["kind"].asString(), "dialog");
  EXPECT_EQ(shown[0]["caption"].asString(), "Ostrolinkのアンインストール");
  EXPECT_NE(shown[0]["text"].asString().find("アンインストールを実行します。"), std::string::npos);
  EXPECT_EQ(shown[1]["kind"].asString(), "message");
  EXPECT_EQ(shown[1]["caption"].asString(), "Ostrolink のアンインストール");
  EXPECT_NE(shown[1]["text"].asString().find("Windowsを再起動しますか"), std::string::npos);
  EXPECT_NE(shown[2]["text"].asString().find("フロッピーディスク"), std::string::npos);
  // The monitor library is still loaded by the spooler: its deletion fails silently and waits for the boot.
  auto left = strings(r.lines[5]["left"]);
  EXPECT_EQ(left, std::vector<std::string>{"C:\\WINDOWS\\SYSTEM\\reveror.dll"}) << r.out;
  auto done = strings(r.lines[6]["done"]);
  ASSERT_EQ(done.size(), 1u) << r.out;
  EXPECT_NE(done[0].find("reveror.dll"), std::string::npos);
  EXPECT_TRUE(r.lines[7]["clean"].asBool()) << r.out;
}

TEST(Uninstall, NoAtTheDialogChangesNothing) {
  ScriptRun r = runScript("install\nuninstall no\ncheck-clean\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_FALSE(r.lines[1]["restart_requested"].asBool());
  EXPECT_EQ(r.lines[1]["shown"].size(), 1u);
  EXPECT_EQ(r.lines[2]["left"].size(), 6u) << r.out << "four files and two keys of the install";
}

TEST(Uninstall, YesThenNoRemovesWithoutARestart) {
  ScriptRun r = runScript("install\nuninstall yes no\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_FALSE(r.lines[1]["restart_requested"].asBool()) << "no at the completion question";
  EXPECT_EQ(r.lines[1]["shown"].size(), 2u) << r.out;
}

TEST(MachineState, TheRegistryAndFilesOutliveTheSessionDevicesDoNot) {
  TempDir dir;
  std::string m = dir / "m";
  ScriptRun first = runScript("install\nplug\n", {"--machine", m});
  ASSERT_EQ(first.status, 0) << first.dump();
  ScriptRun second = runScript("devices\ncheck-clean\nplug\n", {"--machine", m});
  ASSERT_EQ(second.status, 0) << second.dump();
  EXPECT_EQ(second.lines[0]["devices"].size(), 0u) << "a new session is a new boot";
  EXPECT_FALSE(second.lines[1]["clean"].asBool()) << "the installed product is still there";
  EXPECT_EQ(second.lines[2]["port_name"].asString(), "KVUSB1");
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "m" / "registry.reg"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "m" / "C" / "WINDOWS" / "SYSTEM" / "oslnk.sys"));
}

TEST(MachineState, ABadRegistryFileStopsTheSessionWithItsLine) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "m");
  {
    std::ofstream f(dir.path() / "m" / "registry.reg");
    f << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"x\"=dword:nothex\n";
  }
  ScriptRun r = runScript("devices\n", {"--machine", dir / "m"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("registry.reg"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line 4"), std::string::npos) << r.err;
  EXPECT_TRUE(r.lines.empty());
}

TEST(Pcap, TheSessionsTrafficIsWrittenAsACapture) {
  TempDir dir;
  ScriptRun r = runScript("plug\nboot\nplug\n", {"--pcap", dir / "c.pcap"});
  ASSERT_EQ(r.status, 0) << r.dump();
  std::string pcap = readFile(dir.path() / "c.pcap");
  ASSERT_GT(pcap.size(), 24u);
  // Little-endian pcap magic and link type 220 (USB Linux mmapped).
  EXPECT_EQ(static_cast<uint8_t>(pcap[0]), 0xD4);
  EXPECT_EQ(static_cast<uint8_t>(pcap[1]), 0xC3);
  EXPECT_EQ(static_cast<uint8_t>(pcap[20]), 220);
  ScriptRun once = runScript("plug\n", {"--pcap", dir / "d.pcap"});
  EXPECT_GT(pcap.size(), readFile(dir.path() / "d.pcap").size()) << "both boots' traffic is in the capture";
}

TEST(Uninstall, AtAPromptThePersonAnswersFromTheSameInput) {
  std::istringstream in("install\nuninstall\ny\nn\ncheck-clean\nquit\n");
  std::ostringstream out, err;
  int status = ostrolink::runTool({"--json"}, in, out, err, /*stdinIsTerminal=*/true, /*stdoutIsTerminal=*/false);
  EXPECT_EQ(status, 0) << err.str();
  std::string text = out.str();
  // The dialog was drawn for the person, and the lines after it answered it rather than running as commands.
  EXPECT_NE(text.find("アンインストールを実行します。"), std::string::npos) << text;
  EXPECT_NE(text.find("\"restart_requested\":false"), std::string::npos) << text;
  EXPECT_EQ(text.find("unknown command"), std::string::npos) << text;
  EXPECT_NE(text.find("\"left\":[\"C:\\\\WINDOWS\\\\SYSTEM\\\\reveror.dll\"]"), std::string::npos) << text;
}
