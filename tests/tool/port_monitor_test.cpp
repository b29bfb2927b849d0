// The port monitor's own logic (port_monitor/cable_port, the code of reveror.dll) called as the spooler calls
// it, over the emulated kernel32 and the simulated cable: what the tool's print command does not reach (one
// WritePort of a whole buffer, a time-out part-way, the port list, names the spooler may pass).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "cable_port.h"
#include "machine/machine.h"
#include "tool_test_util.h"

using tooltest::TempDir;

namespace {

std::vector<uint8_t> Job(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return data;
}

// Plugs a cable whose driver key says MaxTransferSize = `maxTransferSize`; returns its number.
int PlugWithTransferSize(w98::Machine& m, uint32_t maxTransferSize, w98::CableOptions options = {}) {
  const int number = m.plug(options);
  m.registry().setDword(m.devnode(number)->driverKey, "MaxTransferSize", maxTransferSize);
  return number;
}

TEST(PortMonitorCore, ReadsAndWritesGoInRequestsOfMaxTransferSizeAndAFailureCountsExactlySoThatARetryContinuesInOrder) {
  TempDir dir;
  w98::Machine m(dir.path());
  w98::CableOptions options;
  options.printer.backChannel = Job(1500);
  const int cable = PlugWithTransferSize(m, 1000, options);
  cable_port::PortJob job;
  ASSERT_TRUE(cable_port::OpenPort("kvusb1", &job));
  ASSERT_TRUE(cable_port::StartDocPort(&job)) << GetLastError();
  EXPECT_EQ(job.cable.maxTransferSize, 1000u);
  // ReadPort: one read request, of at most MaxTransferSize, with the printer's bytes.
  std::vector<uint8_t> reply(4096);
  DWORD read = 0;
  ASSERT_TRUE(cable_port::ReadPort(&job, reply.data(), static_cast<DWORD>(reply.size()), &read)) << GetLastError();
  EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + read), std::vector<uint8_t>(Job(1000)));

  const std::vector<uint8_t> first = Job(4500);
  DWORD written = 0;
  ASSERT_TRUE(cable_port::WritePort(&job, first.data(), static_cast<DWORD>(first.size()), &written));
  EXPECT_EQ(written, 4500u);
  EXPECT_EQ(job.requests, 5u) << "4500 bytes in requests of at most 1000";

  // The third request from now fails on the bus: two whole pieces were accepted, nothing of the rest.
  m.usb().faults().add({.match = {.requestIndex = m.usb().nextRequestIndex() + 2}});
  const std::vector<uint8_t> second = Job(3500);
  written = 12345;
  EXPECT_FALSE(cable_port::WritePort(&job, second.data(), static_cast<DWORD>(second.size()), &written));
  EXPECT_EQ(written, 2000u);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  std::vector<uint8_t> want = first;
  want.insert(want.end(), second.begin(), second.begin() + 2000);
  EXPECT_EQ(m.cable(cable)->cable->printed(), want) << "nothing unreported reached the printer";

  // The spooler's retry of the rest continues the document in order; a document given up ends as failed.
  ASSERT_TRUE(cable_port::WritePort(&job, second.data() + written, 1500, &written)) << GetLastError();
  EXPECT_EQ(written, 1500u);
  EXPECT_FALSE(cable_port::EndDocPort(&job)) << "failed once, the document stays failed: a retry and new data look alike";
  EXPECT_TRUE(cable_port::ClosePort(&job));
  want.insert(want.end(), second.begin() + 2000, second.end());
  EXPECT_EQ(m.cable(cable)->cable->printed(), want);
}

TEST(PortMonitorCore, ARequestPastItsTimeOutIsCancelledAndTheDocumentFailsWithTheCountAccepted) {
  TempDir dir;
  w98::Machine m(dir.path());
  const int cable = PlugWithTransferSize(m, 1000);
  cable_port::PortJob job;
  ASSERT_TRUE(cable_port::OpenPort("KVUSB1", &job));
  job.timeoutMs = 2000;
  ASSERT_TRUE(cable_port::StartDocPort(&job));
  // The second piece is never answered by the cable.
  m.usb().faults().add({.match = {.requestIndex = m.usb().nextRequestIndex() + 1}, .action = w98::FaultAction::Hang});
  const std::vector<uint8_t> data = Job(3000);
  const int64_t start = m.kernel().clock().now();
  DWORD written = 0;
  EXPECT_FALSE(cable_port::WritePort(&job, data.data(), static_cast<DWORD>(data.size()), &written));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  EXPECT_EQ(written, 1000u);
  EXPECT_TRUE(job.timedOut);
  EXPECT_EQ(job.requests, 2u);
  EXPECT_GE(m.kernel().clock().now() - start, 2000 * 10'000) << "waited the whole time-out first";
  EXPECT_EQ(w98::lastDeviceStatus(), static_cast<int32_t>(0xC0000120)) << "the request was cancelled";
  // The spooler's last call, with nothing more to write, does not make the document whole.
  EXPECT_TRUE(cable_port::WritePort(&job, data.data(), 0, &written));
  EXPECT_FALSE(cable_port::EndDocPort(&job)) << "the document was given up after the failure";
  cable_port::ClosePort(&job);
  EXPECT_EQ(m.cable(cable)->cable->printed(), std::vector<uint8_t>(data.begin(), data.begin() + 1000));
  EXPECT_EQ(m.kernel().user().openHandles(), 0u) << "the device is closed again";
}

// The driver holds one MaxTransferSize for all cables, read at each AddDevice; the monitor reads its own cable's
// key, in either form Windows 98 writes it. Whatever the two say, a job prints whole and in order.
TEST(PortMonitorCore, AJobPrintsWholeWhateverTheDriverKeysSay) {
  TempDir dir;
  w98::Machine m(dir.path());
  const int first = m.plug({}), second = m.plug({});
  m.registry().setDword(m.devnode(first)->driverKey, "MaxTransferSize", 4096);
  m.registry().setDword(m.devnode(second)->driverKey, "MaxTransferSize", 512);
  const std::string firstKey = m.devnode(first)->driverKey;
  m.boot();
  w98::CableOptions options;
  options.printer.backChannel = Job(100);
  const int cable = m.plug(options);  // reads 4096, then the second cable's AddDevice makes it 512 for both
  m.plug({});
  const std::vector<uint8_t> data = Job(20000);
  std::vector<uint8_t> printed;
  auto print = [&](uint32_t expectedSize) {
    cable_port::PortJob job;
    ASSERT_TRUE(cable_port::OpenPort("KVUSB1", &job));
    ASSERT_TRUE(cable_port::StartDocPort(&job));
    EXPECT_EQ(job.cable.maxTransferSize, expectedSize);
    if (printed.empty()) {
      std::vector<uint8_t> reply(4096);
      DWORD read = 0;
      EXPECT_TRUE(cable_port::ReadPort(&job, reply.data(), 4096, &read)) << GetLastError();
      EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + read), Job(100));
    }
    DWORD written = 0;
    EXPECT_TRUE(cable_port::WritePort(&job, data.data(), static_cast<DWORD>(data.size()), &written)) << GetLastError();
    EXPECT_EQ(written, data.size());
    EXPECT_LE(job.writeLimit, 512u);
    EXPECT_TRUE(cable_port::EndDocPort(&job));
    cable_port::ClosePort(&job);
    printed.insert(printed.end(), data.begin(), data.end());
    EXPECT_EQ(m.cable(cable)->cable->printed(), printed);
  };
  print(4096);
  // The value as Windows 98's installer writes it (4 bytes, REG_BINARY), and values no reader can take, which
  // give the driver's default.
  const std::pair<std::vector<uint8_t>, uint32_t> values[] = {
      {{0x00, 0x02, 0x00, 0x00}, 512}, {{0x00, 0x02}, 1024}, {std::vector<uint8_t>(9, 0x10), 1024}};
  for (const auto& [bytes, expected] : values) {
    m.registry().setValue(firstKey, "MaxTransferSize", {w98::RegType::Binary, bytes});
    print(expected);
  }
  m.registry().setString(firstKey, "MaxTransferSize", "512");
  print(1024);
}

// A cable plugged while a job runs on another lowers the driver's one limit below the size the job's requests
// had; the job goes on in smaller requests and prints whole.
TEST(PortMonitorCore, ACablePluggedDuringAJobLowersTheDriversLimitAndTheJobGoesOn) {
  TempDir dir;
  w98::Machine m(dir.path());
  const int first = PlugWithTransferSize(m, 4096), second = PlugWithTransferSize(m, 512);
  m.boot();
  const int cable = m.plug({});
  ASSERT_EQ(cable, first);
  cable_port::PortJob job;
  ASSERT_TRUE(cable_port::OpenPort("KVUSB1", &job) && cable_port::StartDocPort(&job)) << GetLastError();
  const std::vector<uint8_t> data = Job(10000);
  DWORD written = 0;
  ASSERT_TRUE(cable_port::WritePort(&job, data.data(), 5000, &written));
  ASSERT_EQ(m.plug({}), second);
  EXPECT_TRUE(cable_port::WritePort(&job, data.data() + 5000, 5000, &written)) << GetLastError();
  EXPECT_EQ(written, 5000u);
  EXPECT_TRUE(cable_port::EndDocPort(&job));
  cable_port::ClosePort(&job);
  EXPECT_EQ(m.cable(cable)->cable->printed(), data);
}

TEST(PortMonitorCore, PortsAreThoseOfTheCablesPresentAndOtherNamesAreRefused) {
  TempDir dir;
  w98::Machine m(dir.path());
  DWORD needed = 0, returned = 7;
  EXPECT_TRUE(cable_port::EnumPorts<char>(1, nullptr, 0, &needed, &returned));
  EXPECT_EQ(returned, 0u) << "no cable, no port";

  m.plug({});
  const int second = m.plug({});
  EXPECT_FALSE(cable_port::EnumPorts<char>(2, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, 0u);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(cable_port::EnumPorts<char>(2, buffer.data(), needed - 1, &needed, &returned) == FALSE);
  ASSERT_TRUE(cable_port::EnumPorts<char>(2, buffer.data(), needed, &needed, &returned));
  ASSERT_EQ(returned, 2u);
  const auto* info = reinterpret_cast<const cable_port::PortInfo2<char>*>(buffer.data());
  EXPECT_STREQ(info[0].pPortName, "KVUSB1");
  EXPECT_STREQ(info[1].pPortName, "KVUSB2");
  EXPECT_STREQ(info[1].pMonitorName, "Molvex USB Cable Port Monitor");
  EXPECT_EQ(info[1].fPortType, 3u);  // write and read
  for (int i = 0; i < 2; ++i) {
    for (const char* s : {info[i].pPortName, info[i].pMonitorName, info[i].pDescription}) {
      EXPECT_GE(reinterpret_cast<const BYTE*>(s), buffer.data() + 2 * sizeof *info) << "strings after the records";
      EXPECT_LT(reinterpret_cast<const BYTE*>(s) + std::strlen(s), buffer.data() + buffer.size());
    }
  }
  EXPECT_FALSE(cable_port::EnumPorts<char>(3, buffer.data(), needed, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));

  m.unplug(1);
  ASSERT_TRUE(cable_port::EnumPorts<char>(1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &returned));
  ASSERT_EQ(returned, 1u);
  EXPECT_STREQ(reinterpret_cast<const cable_port::PortInfo1<char>*>(buffer.data())->pName, "KVUSB2");
  (void)second;

  // Names the spooler may pass that are no port of this monitor; a port without its cable opens (the cable may
  // come later) but its document cannot start.
  cable_port::PortJob job;
  for (const char* bad : {"LPT1", "KVUSB0", "KVUSB129", "KVUSB01", "KVUSB1x", "KVUSB", "", "KVUSB1234567890"}) {
    EXPECT_FALSE(cable_port::OpenPort(bad, &job)) << bad;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << bad;
  }
  EXPECT_FALSE(cable_port::OpenPort(nullptr, &job));
  ASSERT_TRUE(cable_port::OpenPort("KVUSB1", &job));
  EXPECT_FALSE(cable_port::StartDocPort(&job));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  DWORD written = 5;
  EXPECT_FALSE(cable_port::WritePort(&job, buffer.data(), 1, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(cable_port::ClosePort(&job));

  // The port's keys: the spooler's list, and under the monitor's key where an NT-style spooler finds it.
  EXPECT_EQ(cable_port::KeepPortKey("kvusb2"), ERROR_SUCCESS);
  EXPECT_TRUE(m.registry().keyExists("HKLM\\System\\CurrentControlSet\\Control\\Print\\Ports\\KVUSB2"));
  EXPECT_TRUE(m.registry().keyExists(
      "HKLM\\System\\CurrentControlSet\\Control\\Print\\Monitors\\Molvex USB Cable Port Monitor\\Ports\\KVUSB2"));
  EXPECT_EQ(cable_port::KeepPortKey("KVUSB2\\..\\x"), ERROR_INVALID_NAME);
}

}  // namespace
