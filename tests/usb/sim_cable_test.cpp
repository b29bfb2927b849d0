// The simulated cable on the bus: the requests a driver sends reach the cable's controller and printer.
#include "bus_fixture.h"

#include "sim/cable.h"
#include "usb/sim_cable_device.h"

using namespace usbtest;
using w98::Clock;

namespace usbtest {

class SimCableTest : public BusTest {
 protected:
  // The cable goes before the bus does: take it out first.
  void TearDown() override {
    for (int p : bus.ports()) bus.unplug(p);
  }

  void plugCable() {
    port = bus.plug(cable);
    ASSERT_NE(port, 0);
    pdo = bus.pdo(port);
  }

  // Fetches the configuration descriptor as a driver does and selects interface 2, alternate 0.
  void selectPrinterInterface() {
    uint8_t head[9] = {};
    auto h = descriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, head, 9);
    ASSERT_EQ(submit(h.get()), STATUS_SUCCESS);
    USHORT total = USHORT(head[2] | head[3] << 8);
    config.assign(total + 16, 0);
    auto f = descriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, config.data(), ULONG(config.size()));
    ASSERT_EQ(submit(f.get()), STATUS_SUCCESS);
    ASSERT_EQ(f->UrbControlDescriptorRequest.TransferBufferLength, total);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    auto* id = USBD_ParseConfigurationDescriptor(cd, 2, 0);
    ASSERT_NE(id, nullptr);
    auto u = selectUrb(cd, 2, 0, id->bNumEndpoints, 1024);
    ASSERT_EQ(submit(u.get()), STATUS_SUCCESS);
    auto& info = u->UrbSelectConfiguration.Interface;
    ASSERT_EQ(info.NumberOfPipes, 2u);
    EXPECT_EQ(info.Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(info.Pipes[1].EndpointAddress, 0x81);
    outPipe = info.Pipes[0].PipeHandle;
    inPipe = info.Pipes[1].PipeHandle;
    EXPECT_EQ(cable.configuration(), 1);
  }

  sim::Cable cable;
};

}  // namespace usbtest

TEST_F(SimCableTest, CableIsReportedWithItsVendorAndProductIds) {
  plugCable();
  auto node = kernel.pnp().deviceFor(pdo);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->deviceId, "USB\\VID_0F1B&PID_1002");
  EXPECT_EQ(node->hardwareIds.at(1), "USB\\VID_0F1B&PID_1002");
  EXPECT_EQ(node->compatibleIds.at(2), "USB\\Class_07");
  EXPECT_EQ(cable.address(), bus.address(port));
}

TEST_F(SimCableTest, RegisterRequestsAndPrintDataReachTheCable) {
  plugCable();
  selectPrinterInterface();

  auto write = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 4, 0x0643, 0, nullptr, 0);
  EXPECT_EQ(submit(write.get()), STATUS_SUCCESS);
  EXPECT_EQ(cable.reg(6), 0x43);
  uint8_t snapshot[7] = {};
  auto read = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, snapshot, 7);
  EXPECT_EQ(submit(read.get()), STATUS_SUCCESS);
  EXPECT_EQ(read->UrbControlVendorClassRequest.TransferBufferLength, 7u);
  EXPECT_EQ(snapshot[1], cable.reg(2));  // byte 1 is the control register

  std::string job = "Hello, printer\f";
  auto w = bulkUrb(outPipe, job.data(), ULONG(job.size()), USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(submit(w.get()), STATUS_SUCCESS);
  EXPECT_EQ(w->UrbBulkOrInterruptTransfer.TransferBufferLength, job.size());
  auto printed = cable.printed();
  EXPECT_EQ(std::string(printed.begin(), printed.end()), job);

  std::vector<SetupPacket> driverSetups = bus.log().setupPackets();
  ASSERT_GE(driverSetups.size(), 5u);
  EXPECT_EQ(driverSetups[driverSetups.size() - 2], (SetupPacket{0x40, 4, 0x0643, 0, 0}));
  EXPECT_EQ(driverSetups.back(), (SetupPacket{0xC0, 3, 1, 0, 7}));
}

TEST_F(SimCableTest, PaperOutNaksTheWriteUntilPaperIsBack) {
  plugCable();
  selectPrinterInterface();
  cable.setPaperEmpty(true);
  std::string job = "page";
  auto w = bulkUrb(outPipe, job.data(), ULONG(job.size()), 0);
  AsyncUrb a(kernel, pdo, w.get());
  EXPECT_FALSE(a.wait(Clock::kSecond));
  cable.setPaperEmpty(false);
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.status(), STATUS_SUCCESS);
  auto printed = cable.printed();
  EXPECT_EQ(std::string(printed.begin(), printed.end()), job);
}

TEST_F(SimCableTest, HaltedEndpointStallsAndClearFeatureRecoversIt) {
  plugCable();
  selectPrinterInterface();
  cable.haltEndpoint(0x01);
  std::string job = "x";
  auto w = bulkUrb(outPipe, job.data(), 1, 0);
  EXPECT_EQ(submit(w.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(w->UrbHeader.Status, USBD_STATUS_STALL_PID);
  uint8_t word[2] = {};
  auto status = vendorUrb(URB_FUNCTION_VENDOR_ENDPOINT, true, 0, 0, 0x01, word, 2);
  EXPECT_EQ(submit(status.get()), STATUS_SUCCESS);
  EXPECT_NE(word[0] | word[1], 0);
  auto clear = featureUrb(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x01);
  EXPECT_EQ(submit(clear.get()), STATUS_SUCCESS);
  EXPECT_FALSE(cable.halted(0x01));
  EXPECT_EQ(submit(w.get()), STATUS_SUCCESS);
}

TEST_F(SimCableTest, BackChannelBytesComeBackOnBulkIn) {
  plugCable();
  selectPrinterInterface();
  std::vector<uint8_t> buffer(1024);
  auto r = bulkUrb(inPipe, buffer.data(), 1024, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  AsyncUrb a(kernel, pdo, r.get());
  EXPECT_FALSE(a.wait(10 * Clock::kMillisecond));
  const uint8_t reply[3] = {'O', 'K', '\n'};
  cable.queueBulkIn(reply);
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(r->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(buffer[1], 'K');
}
