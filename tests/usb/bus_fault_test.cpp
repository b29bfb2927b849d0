// Fault injection on the bus, the request index, statistics and the capture of a real exchange.
#include "bus_fixture.h"
#include "tshark.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

using namespace usbtest;
using w98::Clock;
using w98::FaultAction;
using w98::FaultRule;

namespace usbtest {

class FaultTest : public BusTest {
 protected:
  void SetUp() override { plugAndConfigure(); }

  NTSTATUS readRegisters(uint8_t* out) {
    auto u = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, out, 7);
    NTSTATUS s = submit(u.get());
    lastUsbd = u->UrbHeader.Status;
    return s;
  }
  USBD_STATUS lastUsbd = 0;
};


}  // namespace usbtest

TEST_F(FaultTest, ByRequestIndexStallsThatRequestOnly) {
  uint64_t next = bus.nextRequestIndex();
  bus.faults().failIndex(next + 1, FaultAction::Stall);
  uint8_t regs[7] = {};
  EXPECT_EQ(readRegisters(regs), STATUS_SUCCESS);
  size_t seen = device->setupsSeen().size();
  EXPECT_EQ(readRegisters(regs), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(lastUsbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(device->setupsSeen().size(), seen);  // the device never saw it
  EXPECT_EQ(readRegisters(regs), STATUS_SUCCESS);

  auto log = controlLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].index, next);
  EXPECT_EQ(log[1].index, next + 1);
  EXPECT_EQ(log[1].fault, "stall");
  EXPECT_TRUE(log[2].fault.empty());
}

TEST_F(FaultTest, BySetupMatchWithErrorStatusForTheNextTwo) {
  FaultRule rule;
  rule.match.bmRequestType = 0x40;
  rule.match.bRequest = 4;
  rule.match.wValue = 0x07F8;
  rule.action = FaultAction::Error;
  rule.usbdStatus = USBD_STATUS_CRC;
  rule.count = 2;
  bus.faults().add(rule);
  auto other = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 4, 0x024C, 0, nullptr, 0);
  EXPECT_EQ(submit(other.get()), STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) {
    auto u = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 4, 0x07F8, 0, nullptr, 0);
    EXPECT_EQ(submit(u.get()), i < 2 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS) << i;
    EXPECT_EQ(u->UrbHeader.Status, i < 2 ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS);
  }
}

TEST_F(FaultTest, SlowAddsDelayAndHangWaitsForCancel) {
  FaultRule slow;
  slow.match.urbFunction = URB_FUNCTION_CLASS_INTERFACE;
  slow.action = FaultAction::Slow;
  slow.extraDelay = 50 * Clock::kMillisecond;
  bus.faults().add(slow);
  uint8_t status = 0;
  auto u = vendorUrb(URB_FUNCTION_CLASS_INTERFACE, true, 1, 0, 0, &status, 1);
  AsyncUrb a(kernel, pdo, u.get());
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.status(), STATUS_SUCCESS);
  EXPECT_EQ(a.elapsed(), 51 * Clock::kMillisecond);

  bus.faults().failNext(1, FaultAction::Hang);
  auto h = vendorUrb(URB_FUNCTION_CLASS_INTERFACE, true, 1, 0, 0, &status, 1);
  AsyncUrb b(kernel, pdo, h.get());
  EXPECT_FALSE(b.wait(2 * Clock::kSecond));  // as a driver's 2 s time-out would see it
  EXPECT_TRUE(b.cancel());
  ASSERT_TRUE(b.wait());
  EXPECT_EQ(b.status(), STATUS_CANCELLED);
  EXPECT_EQ(h->UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST_F(FaultTest, HungBulkTransferHoldsItsPipeUntilAborted) {
  FaultRule hang;
  hang.match.endpoint = 0x02;
  hang.action = FaultAction::Hang;
  bus.faults().add(hang);
  std::vector<uint8_t> data(8, 1);
  auto w1 = bulkUrb(outPipe, data.data(), 8, 0);
  auto w2 = bulkUrb(outPipe, data.data(), 8, 0);
  AsyncUrb a1(kernel, pdo, w1.get());
  AsyncUrb a2(kernel, pdo, w2.get());
  EXPECT_FALSE(a2.wait(Clock::kSecond));  // queued behind the hung one
  EXPECT_TRUE(device->receivedBytes().empty());
  auto abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, outPipe);
  EXPECT_EQ(submit(abort.get()), STATUS_SUCCESS);
  ASSERT_TRUE(a1.wait());
  ASSERT_TRUE(a2.wait());
  EXPECT_EQ(a1.status(), STATUS_CANCELLED);
  EXPECT_EQ(a2.status(), STATUS_CANCELLED);
}

TEST_F(FaultTest, StallFaultOnABulkPipeHaltsIt) {
  bus.faults().failNext(1, FaultAction::Stall);
  std::vector<uint8_t> buffer(64);
  device->queueIn({1});
  auto r = bulkUrb(inPipe, buffer.data(), 64, kIn);
  EXPECT_EQ(submit(r.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r->UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(r->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  auto r2 = bulkUrb(inPipe, buffer.data(), 64, kIn);
  EXPECT_EQ(submit(r2.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r2->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, inPipe);
  EXPECT_EQ(submit(reset.get()), STATUS_SUCCESS);
  auto r3 = bulkUrb(inPipe, buffer.data(), 64, kIn);
  EXPECT_EQ(submit(r3.get()), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 1);
}

TEST_F(FaultTest, StatisticsCountControlFramesAndBulkBytes) {
  bus.resetStatistics();
  uint8_t regs[7];
  readRegisters(regs);
  readRegisters(regs);
  std::vector<uint8_t> data(2432, 5);  // two frames' worth
  auto w = bulkUrb(outPipe, data.data(), ULONG(data.size()), 0);
  int64_t start = kernel.clock().now();
  EXPECT_EQ(submit(w.get()), STATUS_SUCCESS);
  int64_t elapsed = kernel.clock().now() - start;
  auto s = bus.statistics();
  EXPECT_EQ(s.controlTransfers, 2u);
  EXPECT_EQ(s.controlFrames, 2u);
  EXPECT_EQ(s.controlBytes, 14u);
  EXPECT_EQ(s.bulkFrames, 2u);
  EXPECT_EQ(s.frames(), 4u);
  EXPECT_EQ(s.bulkBytesOut, 2432u);
  EXPECT_EQ(s.busyTime, 4 * Clock::kMillisecond);
  EXPECT_EQ(elapsed, 2 * Clock::kMillisecond);
  EXPECT_DOUBLE_EQ(s.bulkLimitFraction(elapsed), 1.0);  // the write ran at the bus's bulk limit
}

TEST_F(FaultTest, CaptureOfARealExchangeIsReadableByTshark) {
  uint8_t regs[7];
  readRegisters(regs);
  std::vector<uint8_t> data = {'P', 'R', 'I', 'N', 'T'};
  auto w = bulkUrb(outPipe, data.data(), 5, 0);
  submit(w.get());
  auto path = std::filesystem::temp_directory_path() / ("w98_usb_bus_capture_" + std::to_string(getpid()) + ".pcap");
  ASSERT_TRUE(bus.log().writePcap(path.string()));
  auto bytes = bus.log().pcap();
  EXPECT_EQ(std::filesystem::file_size(path), bytes.size());
  EXPECT_EQ(bytes.size(), 24u + 4 * 16 + 4 * 64 + 7 + 5);  // 4 events, IN data 7 bytes, OUT data 5 bytes
  const auto tshark = tsharkPath();
  if (!tshark) {
    std::filesystem::remove(path);
    GTEST_SKIP() << "tshark is not installed: the capture's size was checked, not its dissection";
  }
  std::string out;
  std::string cmd = *tshark + " -r " + path.string() + " -V 2>&1";
  if (FILE* f = popen(cmd.c_str(), "r")) {
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) out.append(buf.data(), n);
    pclose(f);
  }
  EXPECT_NE(out.find("bmRequestType: 0xc0"), std::string::npos) << out;
  EXPECT_NE(out.find("wLength: 7"), std::string::npos);
  EXPECT_NE(out.find("Device: " + std::to_string(bus.address(port))), std::string::npos);
  std::filesystem::remove(path);
}
