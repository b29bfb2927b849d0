// Jobs through the port monitor's logic and the real driver, where the driver's counts decide what the spooler
// sends again: a recovery meeting a write the bus carried out, and a cable plugged in before setup ran.
#include <windows.h>

#include <gtest/gtest.h>

#include "cable_port.h"
#include "installer.h"
#include "machine/machine.h"
#include "oslnk_ioctl.h"
#include "tool_test_util.h"

using tooltest::TempDir;

namespace {

constexpr int64_t kMillisecond = 10'000;

std::vector<uint8_t> Document(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 241);
  return data;
}

// Writes `data` as the spooler does: WritePort, and again from the count accepted after a failure.
int WriteAsTheSpooler(cable_port::PortJob& job, const std::vector<uint8_t>& data) {
  int failures = 0;
  for (DWORD at = 0; at < data.size() && failures < 5;) {
    DWORD written = 0;
    if (!cable_port::WritePort(&job, data.data() + at, static_cast<DWORD>(data.size() - at), &written)) ++failures;
    at += written;
  }
  return failures;
}

TEST(PortMonitorJob, ARecoveryMeetingAWriteTheBusCarriedOutNeitherLosesNorRepeatsAByte) {
  TempDir dir;
  w98::Machine m(dir.path());
  const int cable = m.plug({});
  cable_port::PortJob job;
  ASSERT_TRUE(cable_port::OpenPort("KVUSB1", &job) && cable_port::StartDocPort(&job)) << GetLastError();
  // The third request's data moves at once; its completion waits 100 ms for the host controller, and the
  // recovery's cancel comes in between.
  m.usb().faults().add({.match = {.requestIndex = m.usb().nextRequestIndex() + 2},
                        .action = w98::FaultAction::Slow,
                        .extraDelay = 100 * kMillisecond});
  BOOL recovered = FALSE;
  auto recovery = m.kernel().spawn(
      [&] {
        m.kernel().clock().sleepFor(50 * kMillisecond);
        OVERLAPPED o{};
        o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        recovered = DeviceIoControl(job.device, IOCTL_KVUSB_RECOVER, nullptr, 0, nullptr, 0, &n, &o);
        if (!recovered && GetLastError() == ERROR_IO_PENDING) recovered = GetOverlappedResult(job.device, &o, &n, TRUE);
        CloseHandle(o.hEvent);
      },
      "recovery");
  const std::vector<uint8_t> data = Document(8 * 1024);
  const int failures = WriteAsTheSpooler(job, data);
  recovery.join();
  cable_port::EndDocPort(&job);
  cable_port::ClosePort(&job);
  EXPECT_TRUE(recovered);
  EXPECT_EQ(failures, 0) << "the write the bus carried out was reported as such";
  const std::vector<uint8_t> printed = m.cable(cable)->cable->printed();
  EXPECT_TRUE(printed == data) << "the printer received " << printed.size() << " of " << data.size() << " bytes";
}

TEST(PortMonitorJob, ACablePluggedBeforeSetupIsListedAndPrintsOnceSetupHasRun) {
  TempDir dir;
  w98::Machine m(dir.path());
  const int cable = m.plug({});
  ASSERT_TRUE(ostrolink::installProduct(m.user(), ostrolink::findHelperLibrary()).installed);
  DWORD needed = 0, returned = 0;
  BYTE ports[512];
  ASSERT_TRUE(cable_port::EnumPorts<char>(1, ports, sizeof ports, &needed, &returned)) << GetLastError();
  ASSERT_EQ(returned, 1u);
  EXPECT_STREQ(reinterpret_cast<const cable_port::PortInfo1<char>*>(ports)->pName, "KVUSB1");
  cable_port::PortJob job;
  ASSERT_TRUE(cable_port::OpenPort("KVUSB1", &job) && cable_port::StartDocPort(&job)) << GetLastError();
  const std::vector<uint8_t> data = Document(3000);
  EXPECT_EQ(WriteAsTheSpooler(job, data), 0);
  EXPECT_TRUE(cable_port::EndDocPort(&job));
  cable_port::ClosePort(&job);
  EXPECT_EQ(m.cable(cable)->cable->printed(), data);
}

}  // namespace
