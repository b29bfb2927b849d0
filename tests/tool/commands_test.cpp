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
      "plug\n"
      "unplug 2\n"
      "plug\n");  // port 2 and kernel name 01 are free again
  ASSERT_EQ(r.status, 0) << r.dump();
  ASSERT_EQ(r.lines.size(), 5u);
  EXPECT_EQ(r.lines[1]["port_name"].asString(), "KVUSB2");
  EXPECT_EQ(r.lines[1]["kernel_name"].asString(), "\\Device\\KVUSB01");
  EXPECT_EQ(r.lines[1]["dos_name"].asString(), "\\DosDevices\\KVUSB2");
  EXPECT_EQ(r.lines[2]["port_name"].asString(), "KVUSB3");
  EXPECT_EQ(r.lines[4]["cable"].asInt(), 4) << "cable numbers are never reused in a session";
  EXPECT_EQ(r.lines[4]["status"].asString(), "0x00000000");
  EXPECT_EQ(r.lines[4]["port_name"].asString(), "KVUSB2");
  EXPECT_EQ(r.lines[4]["kernel_name"].asString(), "\\Device\\KVUSB01");
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

TEST(PlugCommand, APrinterWithoutAUsableIdentifierIsSaidPlainly) {
  // No manufacturer: the driver can build no Plug and Play identifier for the printer.
  const std::string script = "plug --device-id \"CMD:PCL;CLS:PRINTER;\"\ndevices\n";
  ScriptRun r = runScript(script);
  ASSERT_EQ(r.status, 0) << r.dump();
  ASSERT_TRUE(r.lines[0]["child"].isObject()) << r.out;
  EXPECT_FALSE(r.lines[0]["child"]["identified"].asBool()) << r.out;
  EXPECT_TRUE(runScript("plug\n").lines[0]["child"]["identified"].asBool());
  std::istringstream in(script);
  std::ostringstream out, err;
  ASSERT_EQ(ostrolink::runTool({}, in, out, err, false, false), 0) << err.str();
  EXPECT_NE(out.str().find("printer: attached, but it reported no usable identifier"), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find("(instance )"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("(a device that reported no usable identifier)  [failed]"), std::string::npos) << out.str();
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
  ScriptRun r = runScript(std::string("plug --device-id \"") + kHpId + "\"\ndevices\nremove 1\ndevices\n");
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
  EXPECT_FALSE(r.lines[2]["plugged"].asBool()) << "the Device Manager's Remove, then the cable taken out";
  EXPECT_EQ(r.lines[3]["devices"].size(), 0u);
}

TEST(UnplugCommand, UnknownCablesAreErrors) {
  for (const char* line : {"unplug 1\n", "plug\nunplug 2\n", "plug\nunplug 1\nunplug 1\n", "unplug x\n", "stop 5\n", "remove 1\n"}) {
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
  EXPECT_TRUE(p["status_name"].isString()) << "the driver's failure status has a name: " << r.out;
  EXPECT_EQ(r.lines[1]["usbd_status_name"].asString(), "USBD_STATUS_DEV_NOT_RESPONDING");
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
  std::string job = sourceFile("docs/sample-job.txt");
  for (std::string line : {std::string("print KVUSB1\n"), std::string("plug\nprint KVUSB1 /no/such/file\n"),
                           "plug\nprint LPT1 " + job + "\n", "plug\nprint KVUSB0 " + job + "\n",
                           "plug\nprint KVUSB1,KVUSB1 " + job + "\n", "plug\nopen KVUSB1\nprint KVUSB1 " + job + "\n"}) {
    ScriptRun r = runScript(line);
    EXPECT_EQ(r.status, 1) << line << r.dump();
  }
  // A port without a cable fails the job, with the open's status and nothing accepted.
  ScriptRun none = runScript("plug\nprint KVUSB9 " + job + "\n");
  ASSERT_EQ(none.status, 0) << none.dump();
  EXPECT_TRUE(none.lines[1]["failed"].asBool());
  EXPECT_EQ(none.lines[1]["bytes"].asUint(), 0u);
  EXPECT_EQ(none.lines[1]["requests"].asUint(), 0u);
  EXPECT_EQ(none.lines[1]["status"].asString(), "0xC0000034");
  EXPECT_EQ(none.lines[1]["status_name"].asString(), "STATUS_OBJECT_NAME_NOT_FOUND");
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
  EXPECT_LE(regs["bytes_returned"].asUint(), 7u);
  ASSERT_EQ(regs["output"].asString().size(), 14u) << "the whole output buffer is shown, whatever the byte count";
  // The status register: not busy, selected and no fault on a printer that waits for data.
  unsigned status = std::stoul(regs["output"].asString().substr(0, 2), nullptr, 16);
  EXPECT_EQ(status & 0x98u, 0x98u) << regs["output"].asString();
  EXPECT_EQ(r.lines[2]["output"].asString(), "18") << "not error, selected";
  EXPECT_EQ(r.lines[4]["output"].asString(), "20") << "paper empty (the printer then also reports an error)";
  const Json& id = r.lines[5];
  EXPECT_EQ(id["status"].asString(), "0x00000000");
  EXPECT_EQ(id["text"].asString(), kHpId);
  EXPECT_EQ(id["output"].asString().size(), 400u);
  EXPECT_EQ(r.lines[6]["status"].asString(), "0xC000000D") << "a code between two codes of the table";
  EXPECT_EQ(r.lines[7]["status"].asString(), "0xC000000D") << "write-register needs two bytes";
}

TEST(IoctlCommand, UnknownNamesAndBadHexAreErrors) {
  for (const char* line : {"plug\nioctl KVUSB1 read-everything\n", "plug\nioctl KVUSB1 write-register 0g\n",
                           "plug\nioctl KVUSB1 read-registers --out 70000\n", "ioctl LPT1 recover\n"}) {
    ScriptRun r = runScript(line);
    EXPECT_EQ(r.status, 1) << line << r.dump();
  }
  // A port with no cable is not a bad argument: the open's status is the answer.
  ScriptRun none = runScript("ioctl KVUSB1 recover\n");
  EXPECT_EQ(none.status, 0) << none.dump();
  EXPECT_EQ(none.lines[0]["status"].asString(), "0xC0000034") << "STATUS_OBJECT_NAME_NOT_FOUND";
  EXPECT_FALSE(none.lines[0]["opened"].asBool());
}

TEST(StepCommands, OpenWriteReadCloseAndOneHandleAtATime) {
  TempDir dir;
  ScriptRun r = runScript("plug --reply 4f4b --capture " + dir / "p.bin" +
                          "\n"
                          "open KVUSB1\n"
                          "write KVUSB1 48656c6c6f0d0a\n"
                          "read KVUSB1 4\n"
                          "close KVUSB1\n"
                          "write KVUSB1 00\n");
  ASSERT_EQ(r.status, 1) << "writing to a closed port is an error of the script";
  ASSERT_EQ(r.lines.size(), 6u) << r.dump();
  EXPECT_EQ(r.lines[1]["status"].asString(), "0x00000000");
  EXPECT_EQ(r.lines[2]["bytes"].asUint(), 7u);
  EXPECT_EQ(r.lines[2]["status"].asString(), "0x00000000");
  EXPECT_EQ(r.lines[3]["data"].asString(), "4f4b") << "a short read returns what the printer had";
  EXPECT_EQ(r.lines[3]["status"].asString(), "0x00000000");
  EXPECT_EQ(r.lines[4]["status"].asString(), "0x00000000");
  EXPECT_FALSE(r.lines[5]["ok"].asBool());
  EXPECT_EQ(readFile(dir.path() / "p.bin"), "Hello\r\n");
  // One handle per port in a session; the driver admits one open at a time anyway.
  ScriptRun twice = runScript("plug\nopen KVUSB1\nopen KVUSB1\n");
  EXPECT_EQ(twice.status, 1);
  EXPECT_NE(twice.lines.back()["error"].asString().find("already open"), std::string::npos) << twice.dump();
}

TEST(StepCommands, WriteFromAFileAndOversizedWritesAreRefusedByTheDriver) {
  TempDir dir;
  {
    std::ofstream f(dir / "big.bin", std::ios::binary);
    f << std::string(1025, 'x');
  }
  ScriptRun r = runScript("plug\nopen KVUSB1\nwrite KVUSB1 @" + dir / "big.bin" + "\nread KVUSB1 0\n" +
                          "read KVUSB1 8 --timeout 2\n");
  ASSERT_EQ(r.lines.size(), 5u) << r.dump();
  EXPECT_EQ(r.lines[2]["status"].asString(), "0xC000000D") << "more than MaxTransferSize in one request";
  EXPECT_EQ(r.lines[2]["bytes"].asUint(), 0u);
  EXPECT_EQ(r.lines[3]["status"].asString(), "0xC000000D") << "a read of 0 bytes";
  // Nothing to read: the read waits until its time-out and is cancelled.
  EXPECT_TRUE(r.lines[4]["timed_out"].asBool()) << r.out;
  EXPECT_EQ(r.lines[4]["bytes"].asUint(), 0u);
  EXPECT_NE(r.lines[4]["status"].asString(), "0x00000000");
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

TEST(PlugCommand, UsbLayoutOptionsReachTheDriver) {
  TempDir dir;
  std::string job = sourceFile("docs/sample-job.txt");
  ScriptRun r = runScript(
      "plug --interface 3\n"  // the driver selects interface 2, which this cable does not have
      "set IFSetting 3\n"
      "plug --interface 3\n"
      "set IFSetting 2\n"
      "plug --extra-descriptors 600\n"  // a configuration descriptor longer than its first read
      "set AltSetting 1\n"
      "plug --alternates 2 --sync-control\n"
      "set AltSetting 0\n"
      "plug --out-endpoint 2 --in-endpoint 0x83 --capture " + dir / "p.bin" + "\n"
      "print KVUSB5 " + job + "\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_NE(r.lines[0]["status"].asString(), "0x00000000");
  EXPECT_TRUE(r.lines[0]["dos_name"].isNull()) << "no DOS name without a start";
  for (size_t i : {2u, 4u, 6u, 8u}) {
    EXPECT_EQ(r.lines[i]["status"].asString(), "0x00000000") << r.lines[i].dump();
    EXPECT_TRUE(r.lines[i]["child"].isObject()) << r.lines[i].dump();
  }
  // The first cable's start failed: Windows 98 stops it and it keeps port 1 while it is plugged in.
  EXPECT_EQ(r.lines[8]["port_name"].asString(), "KVUSB5");
  EXPECT_FALSE(r.lines[9]["failed"].asBool()) << r.lines[9].dump();
  EXPECT_EQ(readFile(dir.path() / "p.bin"), readFile(job)) << "data went through the other endpoint";
  for (const char* bad : {"plug --in-endpoint 0x01\n", "plug --alternates 0\n", "plug --reply xyz\n",
                          "plug --capture /no/such/folder/x\n"}) {
    ScriptRun b = runScript(bad);
    EXPECT_EQ(b.status, 1) << bad << b.dump();
  }
}

TEST(FaultCommand, ArgumentsAndClearing) {
  std::string job = sourceFile("docs/sample-job.txt");
  ScriptRun r = runScript("plug\nfault stall --at 1 --bulk-out\nfault clear\nprint KVUSB1 " + job + "\n");
  ASSERT_EQ(r.status, 0) << r.dump();
  EXPECT_FALSE(r.lines[3]["failed"].asBool()) << "a cleared fault does nothing";
  ScriptRun s = runScript("plug\nfault stall --bulk-out\nprint KVUSB1 " + job + "\n");
  ASSERT_EQ(s.status, 0) << s.dump();
  EXPECT_TRUE(s.lines[2]["failed"].asBool()) << "the first bulk OUT stalls";
  EXPECT_EQ(s.lines[2]["bytes"].asUint(), 0u);
  EXPECT_EQ(s.lines[2]["requests"].asUint(), 1u) << "a failed request ends the job";
  for (const char* bad : {"fault\n", "fault explode\n", "fault stall --at 0\n", "fault stall --count x\n"}) {
    ScriptRun b = runScript(bad);
    EXPECT_EQ(b.status, 1) << bad;
  }
}

TEST(PrintCommand, AProgressBarOnATerminalOnly) {
  std::string job = sourceFile("docs/sample-job.txt");
  const std::string size = std::to_string(readFile(job).size());
  for (bool terminal : {true, false}) {
    std::istringstream in("plug\nprint KVUSB1 " + job + "\n");
    std::ostringstream out, err;
    EXPECT_EQ(ostrolink::runTool({}, in, out, err, false, terminal), 0) << err.str();
    std::string text = out.str();
    EXPECT_EQ(text.find("100% " + size + "/" + size + " bytes") != std::string::npos, terminal) << text;
    EXPECT_NE(text.find(size + " of " + size + " bytes accepted"), std::string::npos) << text;
  }
}
