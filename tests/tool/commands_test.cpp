// The session tool's commands on a simulated machine, driven by scripts as a person or CI would write them.
#include <gtest/gtest.h>

#include "tool_test_util.h"

using namespace tooltest;

namespace {
const char kHpId[] = "MFG:Hewlett-Packard;CMD:PJL,PCL;MDL:LaserJet 1100;CLS:PRINTER;";
const char kHpPrinterId[] = "Hewlett-PackardLaser009B";  // 20 characters of maker and model, then the check value
}  // namespace

TEST(PlugCommand, NamesTheCableAndReportsItsPrinter) {
  ScriptRun r = runScript(std::string("plug --device-id \"") + kHpId + "\"\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  ASSERT_EQ(r.lines.size(), 1u);
  const Json& p = r.lines[0];
  EXPECT_EQ(p["cable"].asInt(), 1);
  EXPECT_EQ(p["status"].asString(), "0x00000000");
  EXPECT_EQ(p["port_name"].asString(), "KVUSB1");
  EXPECT_EQ(p["kernel_name"].asString(), "\\Device\\KVUSB00");
  EXPECT_EQ(p["dos_name"].asString(), "\\DosDevices\\KVUSB1");
  EXPECT_TRUE(p["device_id_read"].asBool());
  const Json& child = p["child"];
  ASSERT_TRUE(child.isObject()) << r.out;
  EXPECT_EQ(child["device_id"].asString(), std::string("LPTENUM\\") + kHpPrinterId);
  ASSERT_EQ(child["hardware_ids"].size(), 1u);
  EXPECT_EQ(child["hardware_ids"][0].asString(), kHpPrinterId);
  EXPECT_EQ(child["instance_id"].asString(), std::string(kHpPrinterId) + "KVUSB1");
}

TEST(PlugCommand, EachCableTakesTheLowestFreePortAndTheNextKernelName) {
  ScriptRun r = runScript(
      "plug\n"
      "plug\n"
      "unplug 1\n"
      "plug\n");  // port 1 is free again, but kernel name 01 is still held by cable 2
  ASSERT_EQ(r.status, 0) << r.dump();
  ASSERT_EQ(r.lines.size(), 4u);
  EXPECT_EQ(r.lines[1]["port_name"].asString(), "KVUSB2");
  EXPECT_EQ(r.lines[1]["kernel_name"].asString(), "\\Device\\KVUSB01");
  EXPECT_EQ(r.lines[3]["cable"].asInt(), 3);
  EXPECT_EQ(r.lines[3]["status"].asString(), "0xC0000035") << "the driver refuses a kernel name in use";
  EXPECT_TRUE(r.lines[3]["child"].isNull());
}

TEST(PlugCommand, WithoutPrinterOrWithoutIeee1284NoChildIsReported) {
  ScriptRun r = runScript("plug --no-printer\nplug --no-1284\nplug --slow-polls 3\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  ASSERT_EQ(r.lines.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(r.lines[i]["status"].asString(), "0x00000000") << i;
    EXPECT_FALSE(r.lines[i]["device_id_read"].asBool()) << i;
    EXPECT_TRUE(r.lines[i]["child"].isNull()) << i;
    EXPECT_EQ(r.lines[i]["dos_name"].asString(), "\\DosDevices\\KVUSB" + std::to_string(i + 1)) << i;
  }
  // A printer that answers slowly is still read.
  EXPECT_TRUE(r.lines[2]["device_id_read"].asBool());
  EXPECT_TRUE(r.lines[2]["child"].isObject());
}

TEST(PlugCommand, BadOptionsAreRefusedBeforeAnythingIsPlugged) {
  ScriptRun r = runScript("plug --slow-polls lots\n");
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_FALSE(r.lines[0]["ok"].asBool());
  EXPECT_NE(r.lines[0]["error"].asString().find("--slow-polls must be a number"), std::string::npos);
  ScriptRun d = runScript("plug --no-printer --device-id X\n");
  EXPECT_EQ(d.status, 1) << "a device ID for a printer that is not there";
}

TEST(DevicesCommand, ShowsThePrinterUnderItsCableAndForgetsUnpluggedOnes) {
  ScriptRun r = runScript(std::string("plug --device-id \"") + kHpId + "\"\ndevices\nunplug 1 --surprise\ndevices\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  ASSERT_EQ(r.lines.size(), 4u);
  const Json& tree = r.lines[1]["devices"];
  ASSERT_EQ(tree.size(), 1u) << r.out;
  const Json& cable = tree[0];
  EXPECT_NE(cable["device_id"].asString().find("USB\\VID_0F1B&PID_1002"), std::string::npos) << r.out;
  EXPECT_EQ(cable["state"].asString(), "started");
  EXPECT_EQ(cable["port_name"].asString(), "KVUSB1");
  ASSERT_EQ(cable["children"].size(), 1u);
  EXPECT_EQ(cable["children"][0]["device_id"].asString(), std::string("LPTENUM\\") + kHpPrinterId);
  EXPECT_TRUE(r.lines[2]["surprise"].asBool());
  EXPECT_EQ(r.lines[3]["devices"].size(), 0u);
}

TEST(UnplugCommand, UnknownCablesAreErrors) {
  for (const char* line : {"unplug 1\n", "plug\nunplug 2\n", "plug\nunplug 1\nunplug 1\n", "unplug x\n", "stop 5\n"}) {
    ScriptRun r = runScript(line);
    EXPECT_EQ(r.status, 1) << line;
    ASSERT_FALSE(r.lines.empty()) << line;
    EXPECT_FALSE(r.lines.back()["ok"].asBool()) << line;
  }
}

TEST(StopStartCommands, StopTakesTheDosNameAwayAndStartBringsItBack) {
  ScriptRun r = runScript(
      "plug\n"
      "stop 1\n"
      "open KVUSB1\n"
      "start 1\n"
      "open KVUSB1\n"
      "close KVUSB1\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  ASSERT_EQ(r.lines.size(), 6u);
  EXPECT_EQ(r.lines[1]["status"].asString(), "0x00000000");
  EXPECT_NE(r.lines[2]["status"].asString(), "0x00000000") << "no DOS name while stopped";
  EXPECT_EQ(r.lines[3]["status"].asString(), "0x00000000");
  EXPECT_EQ(r.lines[4]["status"].asString(), "0x00000000");
}

TEST(PrintCommand, SendsTheFileInRequestsOfMaxTransferSize) {
  TempDir dir;
  std::string job = sourceFile("docs/sample-job.txt");
  std::string content = readFile(job);
  ASSERT_GT(content.size(), 4096u);
  ScriptRun r = runScript("plug --capture " + dir / "printed.bin" + "\nprint KVUSB1 " + job + "\nunplug 1\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  const Json& p = r.lines[1];
  EXPECT_EQ(p["bytes"].asUint(), content.size());
  EXPECT_EQ(p["requests"].asUint(), (content.size() + 1023) / 1024);
  EXPECT_EQ(p["status"].asString(), "0x00000000");
  EXPECT_FALSE(p["failed"].asBool());
  // Each request is at least one 1 ms frame on the bus, and 1024 bytes need ceil(16/19) = 1 frame.
  EXPECT_GE(p["virtual_seconds"].asDouble(), 0.001 * static_cast<double>(p["requests"].asUint()));
  EXPECT_LT(p["virtual_seconds"].asDouble(), 1.0);
  EXPECT_EQ(readFile(dir.path() / "printed.bin"), content) << "the printer received the job intact";
}

TEST(PrintCommand, MaxTransferSizeFromTheDriverKeySetsTheRequestSize) {
  std::string job = sourceFile("docs/sample-job.txt");
  size_t size = readFile(job).size();
  ScriptRun r = runScript("install\nset MaxTransferSize 4096\nplug\nprint KVUSB1 " + job + "\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_EQ(r.lines[3]["bytes"].asUint(), size);
  EXPECT_EQ(r.lines[3]["requests"].asUint(), (size + 4095) / 4096);
}

TEST(PrintCommand, AFailedRequestFailsTheJobWithTheExactCountAccepted) {
  TempDir dir;
  std::string job = sourceFile("docs/sample-job.txt");
  // The third request on the bus from now on fails: two whole requests went through.
  ScriptRun r = runScript("plug --capture " + dir / "printed.bin" + "\nfault error --at 3\nprint KVUSB1 " + job + "\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  const Json& p = r.lines[2];
  EXPECT_TRUE(p["failed"].asBool()) << r.out;
  EXPECT_EQ(p["bytes"].asUint(), 2048u);
  EXPECT_NE(p["status"].asString(), "0x00000000");
  EXPECT_EQ(readFile(dir.path() / "printed.bin").size(), 2048u);
}

TEST(PrintCommand, APrinterOutOfPaperTimesTheJobOutWithNothingAccepted) {
  std::string job = sourceFile("docs/sample-job.txt");
  ScriptRun r = runScript("plug\nprinter 1 paper-empty\nprint KVUSB1 " + job + " --timeout 5\nprinter 1 paper-ok\n"
                          "print KVUSB1 " + job + "\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_TRUE(r.lines[2]["failed"].asBool());
  EXPECT_EQ(r.lines[2]["bytes"].asUint(), 0u);
  EXPECT_GE(r.lines[2]["virtual_seconds"].asDouble(), 5.0);
  EXPECT_FALSE(r.lines[4]["failed"].asBool()) << "the port recovers once paper is back";
}

TEST(PrintCommand, BadArgumentsAreErrors) {
  for (const char* line : {"print KVUSB1\n", "plug\nprint KVUSB1 /no/such/file\n", "plug\nprint KVUSB9 /etc/hostname\n",
                           "plug\nprint LPT1 /etc/hostname\n"}) {
    ScriptRun r = runScript(line);
    EXPECT_EQ(r.status, 1) << line << r.dump();
  }
}

TEST(IoctlCommand, RegistersPortStatusAndDeviceId) {
  ScriptRun r = runScript(std::string("plug --device-id \"") + kHpId + "\"\n" +
                          "ioctl KVUSB1 read-registers\n"
                          "ioctl KVUSB1 get-port-status\n"
                          "printer 1 paper-empty\n"
                          "ioctl KVUSB1 get-port-status\n"
                          "ioctl KVUSB1 get-device-id --out 200\n"
                          "ioctl KVUSB1 0x00222001\n"
                          "ioctl KVUSB1 write-register 02\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  const Json& regs = r.lines[1];
  EXPECT_EQ(regs["status"].asString(), "0x00000000");
  EXPECT_EQ(regs["bytes_returned"].asUint(), 0u) << "the driver completes with no byte count";
  ASSERT_EQ(regs["output"].asString().size(), 14u);
  EXPECT_EQ(r.lines[2]["output"].asString(), "18") << "not error, selected";
  EXPECT_EQ(r.lines[4]["output"].asString(), "38") << "paper empty";
  const Json& id = r.lines[5];
  EXPECT_EQ(id["status"].asString(), "0x00000000");
  EXPECT_EQ(id["text"].asString(), kHpId);
  EXPECT_EQ(id["output"].asString().size(), 400u);
  EXPECT_EQ(r.lines[6]["status"].asString(), "0xC000000D") << "a code between two codes of the table";
  EXPECT_EQ(r.lines[7]["status"].asString(), "0xC000000D") << "write-register needs two bytes";
}

TEST(IoctlCommand, UnknownNamesAndBadHexAreErrors) {
  for (const char* line : {"plug\nioctl KVUSB1 read-everything\n", "plug\nioctl KVUSB1 write-register 0g\n",
                           "plug\nioctl KVUSB1 read-registers --out 70000\n", "ioctl KVUSB1 recover\n"}) {
    ScriptRun r = runScript(line);
    EXPECT_EQ(r.status, 1) << line << r.dump();
  }
}

TEST(StepCommands, OpenWriteReadCloseAndOneHandleAtATime) {
  TempDir dir;
  ScriptRun r = runScript("plug --capture " + dir / "p.bin" +
                          "\n"
                          "open KVUSB1\n"
                          "open KVUSB1\n"
                          "write KVUSB1 48656c6c6f0d0a\n"
                          "close KVUSB1\n"
                          "write KVUSB1 00\n");
  ASSERT_EQ(r.status, 1) << "writing to a closed port is an error of the script";
  ASSERT_EQ(r.lines.size(), 6u) << r.dump();
  EXPECT_EQ(r.lines[1]["status"].asString(), "0x00000000");
  EXPECT_FALSE(r.lines[2]["ok"].asBool()) << "the tool keeps one handle per port";
  EXPECT_EQ(r.lines[3]["bytes"].asUint(), 7u);
  EXPECT_EQ(r.lines[3]["status"].asString(), "0x00000000");
  EXPECT_EQ(r.lines[4]["status"].asString(), "0x00000000");
  EXPECT_EQ(readFile(dir.path() / "p.bin"), "Hello\r\n");
}

TEST(StepCommands, WriteFromAFileAndOversizedWritesAreRefusedByTheDriver) {
  TempDir dir;
  {
    std::ofstream f(dir / "big.bin", std::ios::binary);
    f << std::string(1025, 'x');
  }
  ScriptRun r = runScript("plug\nopen KVUSB1\nwrite KVUSB1 @" + dir / "big.bin" + "\nread KVUSB1 0\n");
  ASSERT_EQ(r.lines.size(), 4u) << r.dump();
  EXPECT_EQ(r.lines[2]["status"].asString(), "0xC000000D") << "more than MaxTransferSize in one request";
  EXPECT_EQ(r.lines[2]["bytes"].asUint(), 0u);
  EXPECT_EQ(r.lines[3]["status"].asString(), "0xC000000D") << "a read of 0 bytes";
}

TEST(RegistryCommand, ShowsKeysAsRegedit4) {
  ScriptRun r = runScript("plug\nregistry \"HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002\"\nregistry HKLM\\Nope\n");
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.lines.size(), 3u) << r.dump();
  std::string text = r.lines[1]["text"].asString();
  EXPECT_EQ(text.rfind("REGEDIT4", 0), 0u) << text;
  EXPECT_NE(text.find("\"Port Name\"=\"KVUSB1\""), std::string::npos) << text;
  EXPECT_NE(r.lines[2]["error"].asString().find("no key"), std::string::npos);
}

TEST(SetCommand, WritesEveryDriverKeyOfTheClassAndChecksItsArguments) {
  ScriptRun r = runScript("install\nplug\nset IFSetting 3\nregistry "
                          "HKLM\\System\\CurrentControlSet\\Services\\Class\\USBQXC\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_GE(r.lines[2]["keys"].size(), 1u);
  std::string text = r.lines[3]["text"].asString();
  EXPECT_NE(text.find("\"IFSetting\"=dword:00000003"), std::string::npos) << text;
  for (const char* line : {"set Bogus 1\n", "set MaxTransferSize\n", "set IFSetting 256\n", "set MaxTransferSize -1\n"}) {
    ScriptRun bad = runScript(line);
    EXPECT_EQ(bad.status, 1) << line;
  }
}
