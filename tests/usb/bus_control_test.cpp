// Control transfers on the default pipe: setup packets built from each URB function, data stages, timing,
// stalls and the synchronous option.
#include "bus_fixture.h"

using namespace usbtest;
using w98::Clock;

namespace usbtest {

class ControlTest : public BusTest {
 protected:
  void SetUp() override { plugAndConfigure(); }
};

}  // namespace usbtest

TEST_F(ControlTest, GetDescriptorFillsTheBufferAndTakesOneFrame) {
  uint8_t buffer[18] = {};
  auto u = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
  AsyncUrb a(kernel, pdo, u.get());
  EXPECT_EQ(a.dispatchStatus(), STATUS_PENDING);
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.status(), STATUS_SUCCESS);
  EXPECT_EQ(a.elapsed(), Clock::kMillisecond);
  EXPECT_TRUE(a.onCompletionThread());
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(u->UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(0, std::memcmp(buffer, device->deviceDescriptor.data(), 18));

  auto log = controlLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].setup, (SetupPacket{0x80, 6, 0x0100, 0, 18}));
  EXPECT_EQ(log[0].urbFunction, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_TRUE(log[0].in);
  EXPECT_EQ(log[0].completeTime - log[0].submitTime, Clock::kMillisecond);
}

TEST_F(ControlTest, LongerBufferThanTheDescriptorIsAShortTransfer) {
  // As a driver fetches the configuration descriptor: wTotalLength + 16 bytes asked for.
  std::vector<uint8_t> buffer(device->configDescriptor.size() + 16, 0xEE);
  auto u = descriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buffer.data(), ULONG(buffer.size()));
  EXPECT_EQ(submit(u.get()), STATUS_SUCCESS);
  EXPECT_EQ(u->UrbControlDescriptorRequest.TransferBufferLength, device->configDescriptor.size());
  EXPECT_EQ(0, std::memcmp(buffer.data(), device->configDescriptor.data(), device->configDescriptor.size()));
  EXPECT_EQ(buffer[device->configDescriptor.size()], 0xEE);  // nothing written past what came
  EXPECT_EQ(controlLog().at(0).setup.wLength, buffer.size());
}

// "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST": a short IN data stage is an error unless USBD_SHORT_TRANSFER_OK
// allows it (descriptor reads above always allow it).
TEST_F(ControlTest, ShortVendorDataStageFailsWithoutShortTransferOk) {
  device->controlHook = [](const SetupPacket& s, std::span<uint8_t> data) -> std::optional<TransferResult> {
    if (s.bmRequestType != 0xC0) return std::nullopt;
    data[0] = 0x5A;
    return TransferResult::ack(1);
  };
  std::vector<uint8_t> buffer(7, 0xEE);
  auto strict = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, buffer.data(), 7);
  EXPECT_EQ(submit(strict.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(strict->UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
  EXPECT_EQ(buffer[0], 0xEE);
  auto lenient = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, buffer.data(), 7);
  lenient->UrbControlVendorClassRequest.TransferFlags |= USBD_SHORT_TRANSFER_OK;
  EXPECT_EQ(submit(lenient.get()), STATUS_SUCCESS);
  EXPECT_EQ(lenient->UrbControlVendorClassRequest.TransferBufferLength, 1u);
  EXPECT_EQ(buffer[0], 0x5A);
}

TEST_F(ControlTest, VendorAndClassFunctionsGiveTheirRequestTypes) {
  struct Case {
    USHORT function;
    bool in;
    UCHAR request;
    USHORT value, index;
    ULONG length;
    uint8_t bmRequestType;
  };
  const Case cases[] = {
      {URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, 7, 0xC0},
      {URB_FUNCTION_VENDOR_DEVICE, false, 4, 0x024C, 0, 0, 0x40},
      {URB_FUNCTION_VENDOR_INTERFACE, true, 9, 0, 2, 1, 0xC1},
      {URB_FUNCTION_VENDOR_ENDPOINT, true, 0, 0, 0x81, 2, 0xC2},
      {URB_FUNCTION_VENDOR_OTHER, false, 5, 0, 0, 0, 0x43},
      {URB_FUNCTION_CLASS_DEVICE, false, 7, 0, 0, 0, 0x20},
      {URB_FUNCTION_CLASS_INTERFACE, true, 1, 0, 0, 1, 0xA1},
      {URB_FUNCTION_CLASS_ENDPOINT, true, 1, 0, 0x02, 1, 0xA2},
      {URB_FUNCTION_CLASS_OTHER, false, 2, 0, 0, 0, 0x23},
  };
  for (const auto& c : cases) {
    bus.log().clear();
    uint8_t buffer[8] = {};
    auto u = vendorUrb(c.function, c.in, c.request, c.value, c.index, c.length ? buffer : nullptr, c.length);
    EXPECT_EQ(submit(u.get()), STATUS_SUCCESS) << std::hex << c.function;
    auto log = controlLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup, (SetupPacket{c.bmRequestType, c.request, c.value, c.index, uint16_t(c.length)}))
        << w98::toString(log[0].setup);
    EXPECT_EQ(device->setupsSeen().back(), log[0].setup);
    if (c.in && c.length) {
      EXPECT_EQ(buffer[0], 0xA0);
      EXPECT_EQ(buffer[c.length - 1], 0xA0 + c.length - 1);
      EXPECT_EQ(buffer[c.length], 0);  // only wLength bytes
      EXPECT_EQ(u->UrbControlVendorClassRequest.TransferBufferLength, c.length);
    }
  }
}

TEST_F(ControlTest, OutDataStageReachesTheDevice) {
  std::vector<uint8_t> seen;
  device->controlHook = [&seen](const SetupPacket& s, std::span<uint8_t> data) -> std::optional<TransferResult> {
    if (s.bmRequestType != 0x40) return std::nullopt;
    seen.assign(data.begin(), data.end());
    return TransferResult::ack(data.size());
  };
  uint8_t payload[3] = {7, 8, 9};
  auto u = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x11, 0, 0, payload, 3);
  EXPECT_EQ(submit(u.get()), STATUS_SUCCESS);
  EXPECT_EQ(seen, (std::vector<uint8_t>{7, 8, 9}));
  EXPECT_EQ(controlLog().at(0).data, (std::vector<uint8_t>{7, 8, 9}));
}

TEST_F(ControlTest, FeatureAndStatusRequests) {
  auto clear = featureUrb(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x82);
  EXPECT_EQ(submit(clear.get()), STATUS_SUCCESS);
  auto set = featureUrb(URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0);
  device->controlHook = [](const SetupPacket& s, std::span<uint8_t> data) -> std::optional<TransferResult> {
    if (s.bRequest == USB_REQUEST_SET_FEATURE) return TransferResult::ack(0);
    if (s.bRequest == USB_REQUEST_GET_STATUS) {
      data[0] = 1;
      data[1] = 0;
      return TransferResult::ack(2);
    }
    return std::nullopt;
  };
  EXPECT_EQ(submit(set.get()), STATUS_SUCCESS);
  USHORT status = 0xFFFF;
  UrbBlock get(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
  UsbBuildGetStatusRequest(get.get(), URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x02, &status, nullptr, nullptr);
  EXPECT_EQ(submit(get.get()), STATUS_SUCCESS);
  EXPECT_EQ(status, 1);

  auto log = controlLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].setup, (SetupPacket{0x02, 1, 0, 0x82, 0}));
  EXPECT_EQ(log[1].setup, (SetupPacket{0x00, 3, 1, 0, 0}));
  EXPECT_EQ(log[2].setup, (SetupPacket{0x82, 0, 0, 0x02, 2}));
}

TEST_F(ControlTest, StallFailsTheRequestAndLeavesTheBufferAlone) {
  device->controlHook = [](const SetupPacket& s, std::span<uint8_t> data) -> std::optional<TransferResult> {
    if (s.bmRequestType == 0xA1) {
      if (!data.empty()) data[0] = 0x55;  // written by the device, but the transfer fails
      return TransferResult::stall();
    }
    return std::nullopt;
  };
  uint8_t byte = 0;
  auto u = vendorUrb(URB_FUNCTION_CLASS_INTERFACE, true, 1, 0, 0, &byte, 1);
  EXPECT_EQ(submit(u.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(u->UrbControlVendorClassRequest.TransferBufferLength, 0u);
  EXPECT_EQ(controlLog().at(0).usbdStatus, USBD_STATUS_STALL_PID);
}

TEST_F(ControlTest, DeviceErrorIsNotRespondingAndUnknownFunctionsFail) {
  device->controlHook = [](const SetupPacket& s, std::span<uint8_t>) -> std::optional<TransferResult> {
    if (s.bRequest == 0x33) return TransferResult::error();
    return std::nullopt;
  };
  auto u = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x33, 0, 0, nullptr, 0);
  EXPECT_EQ(submit(u.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);

  bus.log().clear();
  UrbBlock frame(sizeof(struct _URB_GET_FRAME_LENGTH));
  frame->UrbHeader.Length = sizeof(struct _URB_GET_FRAME_LENGTH);
  frame->UrbHeader.Function = URB_FUNCTION_GET_FRAME_LENGTH;
  EXPECT_EQ(submit(frame.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(frame->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
  EXPECT_EQ(bus.log().size(), 0u);  // nothing went on the wire

  EXPECT_EQ(submit(nullptr), STATUS_INVALID_PARAMETER);
  auto missing = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, nullptr, 7);  // length without buffer
  EXPECT_EQ(submit(missing.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(missing->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(ControlTest, SynchronousOptionCompletesInsideTheCallAtNoCost) {
  bus.setSynchronousControl(port, true);
  bus.resetStatistics();
  uint8_t snapshot[7] = {};
  auto u = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, snapshot, 7);
  int64_t before = kernel.clock().now();
  AsyncUrb a(kernel, pdo, u.get());
  EXPECT_EQ(a.dispatchStatus(), STATUS_SUCCESS);
  EXPECT_TRUE(a.done());
  EXPECT_EQ(kernel.clock().now(), before);
  EXPECT_EQ(snapshot[6], 0xA6);
  EXPECT_EQ(bus.statistics().controlTransfers, 1u);
  EXPECT_EQ(bus.statistics().controlFrames, 0u);

  bus.setSynchronousControl(port, false);
  AsyncUrb b(kernel, pdo, u.get());
  EXPECT_EQ(b.dispatchStatus(), STATUS_PENDING);
  ASSERT_TRUE(b.wait());
  EXPECT_EQ(bus.statistics().controlFrames, 1u);
}

TEST_F(ControlTest, ResetPipeIsHostSideOnly) {
  auto u = pipeUrb(URB_FUNCTION_RESET_PIPE, inPipe);
  AsyncUrb a(kernel, pdo, u.get());
  EXPECT_EQ(a.dispatchStatus(), STATUS_SUCCESS);  // completes at once
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_TRUE(controlLog().empty());
  auto pipes = bus.log().recordsOfKind(w98::TransferKind::PipeRequest);
  ASSERT_EQ(pipes.size(), 1u);
  EXPECT_EQ(pipes[0].urbFunction, URB_FUNCTION_RESET_PIPE);
  EXPECT_EQ(pipes[0].endpoint, 0x82);

  auto bad = pipeUrb(URB_FUNCTION_RESET_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234));
  EXPECT_EQ(submit(bad.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bad->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(ControlTest, PipeRequestWithTheNewerHeadersLengthIsRefused) {
  // sizeof(_URB_PIPE_REQUEST) counts the Reserved field that Windows 98's USBD does not know.
  auto u = pipeUrb(URB_FUNCTION_RESET_PIPE, inPipe);
  u->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  EXPECT_EQ(submit(u.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bus.log().recordsOfKind(w98::TransferKind::PipeRequest).empty());
}

TEST_F(ControlTest, GetPortStatusReportsAConnectedEnabledPort) {
  ULONG status = 0;
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, pdo, nullptr, 0, nullptr, 0, TRUE, &ev,
                                           &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &status;
  EXPECT_EQ(IofCallDriver(pdo, irp), STATUS_SUCCESS);
  EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}
