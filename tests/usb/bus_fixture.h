// A machine with just a kernel and the USB bus, a scriptable test device, and helpers that send URBs to the
// device's PDO the way a function driver does.
#pragma once

#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <ddk/usbdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "kernel/kernel.h"
#include "registry/registry.h"
#include "usb/usb_bus.h"

namespace usbtest {

// Transfer flags of a bulk IN that may come back short.
inline constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

using w98::Handshake;
using w98::SetupPacket;
using w98::TransferResult;

// Interface 0: alternate 0 with bulk OUT 0x02 and bulk IN 0x82 (64-byte packets), alternate 1 with bulk OUT
// 0x03 only. Vendor-specific class.
inline std::vector<uint8_t> testConfiguration() {
  std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  auto add = [&d](std::initializer_list<uint8_t> b) { d.insert(d.end(), b); };
  add({9, 4, 0, 0, 2, 0xFF, 0x01, 0x02, 0});
  add({7, 5, 0x02, 2, 64, 0, 0});
  add({7, 5, 0x82, 2, 64, 0, 0});
  add({9, 4, 0, 1, 1, 0xFF, 0x01, 0x03, 0});
  add({7, 5, 0x03, 2, 64, 0, 0});
  d[2] = uint8_t(d.size());
  return d;
}

class FakeDevice : public w98::UsbDevice {
 public:
  FakeDevice() {
    deviceDescriptor = {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x02, 0, 0, 0, 1};
    configDescriptor = testConfiguration();
  }

  uint16_t vendorId() const override { return 0x1234; }
  uint16_t productId() const override { return 0x5678; }

  TransferResult control(const SetupPacket& s, std::span<uint8_t> data) override {
    std::lock_guard lock(m);
    setups.push_back(s);
    if (controlHook)
      if (auto r = controlHook(s, data)) return *r;
    if (s.bmRequestType == 0x00 && (s.bRequest == USB_REQUEST_SET_ADDRESS || s.bRequest == USB_REQUEST_SET_CONFIGURATION))
      return TransferResult::ack(0);
    if (s.bmRequestType == 0x01 && s.bRequest == USB_REQUEST_SET_INTERFACE) return TransferResult::ack(0);
    if (s.bmRequestType == 0x80 && s.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
      const auto& d = (s.wValue >> 8) == 1 ? deviceDescriptor : configDescriptor;
      size_t n = std::min<size_t>({d.size(), s.wLength, data.size()});
      std::memcpy(data.data(), d.data(), n);
      return TransferResult::ack(n);
    }
    if (s.bmRequestType == 0x02 && s.bRequest == USB_REQUEST_CLEAR_FEATURE && s.wValue == 0) {
      halted.erase(uint8_t(s.wIndex));
      return TransferResult::ack(0);
    }
    if ((s.bmRequestType & 0x80) && (s.bmRequestType & 0x60) != 0) {  // class/vendor IN: a recognisable pattern
      for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(0xA0 + i);
      return TransferResult::ack(data.size());
    }
    if ((s.bmRequestType & 0x60) != 0) return TransferResult::ack(0);  // class/vendor OUT
    return TransferResult::stall();
  }

  TransferResult bulkOut(uint8_t address, std::span<const uint8_t> data) override {
    std::lock_guard lock(m);
    ++outCalls;
    if (halted.count(address)) return TransferResult::stall();
    if (stallNextOut) {
      stallNextOut = false;
      halted.insert(address);
      return TransferResult::stall();
    }
    if (nakOut) return TransferResult::nak();
    size_t n = std::min(outChunk, data.size());
    received.insert(received.end(), data.begin(), data.begin() + n);
    lastOutAddress = address;
    if (n < data.size() && nakAfterChunk) nakOut = true;
    return TransferResult::ack(n);
  }

  TransferResult bulkIn(uint8_t address, std::span<uint8_t> data) override {
    std::lock_guard lock(m);
    ++inCalls;
    if (halted.count(address)) return TransferResult::stall();
    if (inQueue.empty()) return TransferResult::nak();
    size_t n = std::min(data.size(), inQueue.size());
    std::copy(inQueue.begin(), inQueue.begin() + n, data.begin());
    inQueue.erase(inQueue.begin(), inQueue.begin() + n);
    return TransferResult::ack(n);
  }

  void setChangeListener(std::function<void()> l) override {
    std::lock_guard lock(m);
    listener = std::move(l);
  }

  // Something changed on the device: NAKed transfers may go through now.
  void changed() {
    std::function<void()> l;
    {
      std::lock_guard lock(m);
      l = listener;
    }
    if (l) l();
  }

  void queueIn(std::vector<uint8_t> bytes) {
    {
      std::lock_guard lock(m);
      inQueue.insert(inQueue.end(), bytes.begin(), bytes.end());
    }
    changed();
  }
  void setNakOut(bool on) {
    {
      std::lock_guard lock(m);
      nakOut = on;
    }
    if (!on) changed();
  }
  std::vector<uint8_t> receivedBytes() {
    std::lock_guard lock(m);
    return received;
  }
  std::vector<SetupPacket> setupsSeen() {
    std::lock_guard lock(m);
    return setups;
  }
  int bulkOutCalls() {
    std::lock_guard lock(m);
    return outCalls;
  }
  bool isHalted(uint8_t address) {
    std::lock_guard lock(m);
    return halted.count(address) != 0;
  }

  std::mutex m;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configDescriptor;
  std::vector<SetupPacket> setups;
  std::function<std::optional<TransferResult>(const SetupPacket&, std::span<uint8_t>)> controlHook;
  std::vector<uint8_t> received;
  std::vector<uint8_t> inQueue;
  std::set<uint8_t> halted;
  size_t outChunk = SIZE_MAX;
  bool nakOut = false;
  bool nakAfterChunk = false;
  bool stallNextOut = false;
  uint8_t lastOutAddress = 0;
  int outCalls = 0;
  int inCalls = 0;
  std::function<void()> listener;
};

// One URB in flight, in an IRP of its own that stays allocated until this object goes (so it can be cancelled
// at any moment without racing its release).
class AsyncUrb {
 public:
  AsyncUrb(w98::Kernel& kernel, PDEVICE_OBJECT pdo, PURB urb) : kernel_(kernel), state_(std::make_unique<State>()) {
    KeInitializeEvent(&state_->event, NotificationEvent, FALSE);
    state_->kernel = &kernel;
    submittedAt_ = kernel.clock().now();
    irp_ = IoAllocateIrp(CCHAR(pdo->StackSize), FALSE);
    EXPECT_NE(irp_, nullptr);
    auto* sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    sp->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, &AsyncUrb::completed, state_.get(), TRUE, TRUE, TRUE);
    dispatchStatus_ = IofCallDriver(pdo, irp_);
  }
  ~AsyncUrb() {
    if (!irp_) return;
    if (!state_->done) {
      IoCancelIrp(irp_);
      wait();
    }
    if (state_->done) IoFreeIrp(irp_);
  }
  AsyncUrb(const AsyncUrb&) = delete;
  AsyncUrb& operator=(const AsyncUrb&) = delete;

  // Waits up to `timeout` of virtual time; true when the request completed.
  bool wait(int64_t timeout = 10 * w98::Clock::kSecond) {
    if (state_->done) return true;
    LARGE_INTEGER t;
    t.QuadPart = -timeout;
    KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, &t);
    return state_->done;
  }
  bool done() const { return state_->done; }
  BOOLEAN cancel() { return IoCancelIrp(irp_); }
  PIRP irp() const { return irp_; }
  NTSTATUS status() const { return state_->status; }
  NTSTATUS dispatchStatus() const { return dispatchStatus_; }
  KIRQL irql() const { return state_->irql; }
  bool onCompletionThread() const { return state_->onCompletionThread; }
  int64_t elapsed() const { return state_->completedAt - submittedAt_; }
  int64_t completedAt() const { return state_->completedAt; }
  int completions() const { return state_->completions; }

 private:
  struct State {
    KEVENT event;
    w98::Kernel* kernel = nullptr;
    std::atomic<bool> done{false};
    std::atomic<int> completions{0};
    NTSTATUS status = 0;
    KIRQL irql = 0;
    int64_t completedAt = 0;
    bool onCompletionThread = false;
  };
  static NTSTATUS completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* state = static_cast<State*>(context);
    state->status = irp->IoStatus.Status;
    state->irql = KeGetCurrentIrql();
    state->completedAt = state->kernel->clock().now();
    state->onCompletionThread = state->kernel->clock().onCompletionThread();
    ++state->completions;
    state->done = true;
    KeSetEvent(&state->event, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  w98::Kernel& kernel_;
  std::unique_ptr<State> state_;
  PIRP irp_ = nullptr;
  NTSTATUS dispatchStatus_ = 0;
  int64_t submittedAt_ = 0;
};

// Builders for the URBs a driver sends, in zeroed heap blocks of the right size.
struct UrbBlock {
  explicit UrbBlock(size_t size) : bytes(size, 0) {}
  PURB get() { return reinterpret_cast<PURB>(bytes.data()); }
  PURB operator->() { return get(); }
  std::vector<uint8_t> bytes;
};

inline UrbBlock descriptorUrb(UCHAR type, UCHAR index, void* buffer, ULONG length) {
  UrbBlock u(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(u.get(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, buffer,
                               nullptr, length, nullptr);
  return u;
}

inline UrbBlock vendorUrb(USHORT function, bool in, UCHAR request, USHORT value, USHORT index, void* buffer,
                          ULONG length) {
  UrbBlock u(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(u.get(), function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index, buffer, nullptr, length,
                        nullptr);
  return u;
}

inline UrbBlock bulkUrb(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags) {
  UrbBlock u(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(u.get(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                         nullptr, length, flags, nullptr);
  return u;
}

inline UrbBlock pipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
  UrbBlock u(sizeof(struct _URB_PIPE_REQUEST));
  // Windows 98's pipe request ends at the handle: no Reserved field.
  u->UrbHeader.Length = offsetof(struct _URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE);
  u->UrbHeader.Function = function;
  u->UrbPipeRequest.PipeHandle = pipe;
  return u;
}

inline UrbBlock featureUrb(USHORT function, USHORT feature, USHORT index) {
  UrbBlock u(sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
  UsbBuildFeatureRequest(u.get(), function, feature, index, nullptr);
  return u;
}

// Select-configuration URB for one interface with `pipes` pipe records.
inline UrbBlock selectUrb(PUSB_CONFIGURATION_DESCRIPTOR cd, UCHAR interfaceNumber, UCHAR alternate, ULONG pipes,
                          ULONG maxTransfer = 4096) {
  size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipes);
  UrbBlock u(size);
  UsbBuildSelectConfigurationRequest(u.get(), USHORT(size), cd);
  auto& info = u->UrbSelectConfiguration.Interface;
  info.Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
  info.InterfaceNumber = interfaceNumber;
  info.AlternateSetting = alternate;
  info.NumberOfPipes = pipes;
  for (ULONG i = 0; i < pipes; ++i) info.Pipes[i].MaximumTransferSize = maxTransfer;
  return u;
}

class BusTest : public ::testing::Test {
 protected:
  BusTest() : kernel(registry), bus(kernel) {}

  // Plugs the fake device and selects interface 0, alternate 0 (pipes 0x02 OUT and 0x82 IN).
  void plugAndConfigure(w98::PortOptions options = {}) {
    port = bus.plug(device, options);
    ASSERT_NE(port, 0);
    pdo = bus.pdo(port);
    ASSERT_NE(pdo, nullptr);
    configure(0);
    bus.log().clear();
  }

  void configure(UCHAR alternate, ULONG maxTransfer = 4096) {
    config = device->configDescriptor;
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    ULONG pipes = alternate == 0 ? 2 : 1;
    auto u = selectUrb(cd, 0, alternate, pipes, maxTransfer);
    ASSERT_EQ(submit(u.get()), STATUS_SUCCESS);
    ASSERT_EQ(u->UrbHeader.Status, USBD_STATUS_SUCCESS);
    auto& info = u->UrbSelectConfiguration.Interface;
    outPipe = info.Pipes[0].PipeHandle;
    inPipe = pipes > 1 ? info.Pipes[1].PipeHandle : nullptr;
  }

  // Sends the URB and waits for it as SubmitUrb does (without a time-out).
  NTSTATUS submit(PURB urb) {
    AsyncUrb a(kernel, pdo, urb);
    EXPECT_TRUE(a.wait(60 * w98::Clock::kSecond));
    return a.status();
  }

  std::vector<w98::TrafficRecord> controlLog() { return bus.log().recordsOfKind(w98::TransferKind::Control); }

  w98::Registry registry;
  w98::Kernel kernel;
  w98::UsbBus bus;
  std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
  int port = 0;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<uint8_t> config;
  USBD_PIPE_HANDLE outPipe = nullptr;
  USBD_PIPE_HANDLE inPipe = nullptr;
};

}  // namespace usbtest
