// Small programmable drivers for the kernel tests: each device object's extension points to a Device whose
// handlers (lambdas) answer the requests, so a test states the behaviour it needs next to its checks.
#pragma once

#include <ddk/wdm.h>

#include <array>
#include <stdexcept>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace w98::test {

// The control codes the test drivers answer: one METHOD_NEITHER, one METHOD_BUFFERED.
inline constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
inline constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Device {
  using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
  std::array<Handler, IRP_MJ_MAXIMUM_FUNCTION + 1> handlers;
  PDEVICE_OBJECT object = nullptr;
  PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned

  // Completes with `status` and `information`.
  static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  // Passes the request down unchanged.
  NTSTATUS passDown(PIRP irp) const {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
  }
};

// A completion routine that signals the KEVENT given as its context and keeps the request, for a caller that
// waits for it and then finishes or frees it itself.
inline NTSTATUS SignalEventAndKeepRequest(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS DispatchToDevice(PDEVICE_OBJECT d, PIRP irp) {
  Device* device = *static_cast<Device**>(d->DeviceExtension);
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (!device->handlers[major]) return Device::complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return device->handlers[major](d, irp);
}

// A driver object whose every major function dispatches to the device's handlers.
class TestDriver {
 public:
  explicit TestDriver(Kernel& kernel, std::string name = "\\Driver\\test") {
    object_ = kernel.io().createDriver(name);
    for (auto& f : object_->MajorFunction) f = DispatchToDevice;
  }
  PDRIVER_OBJECT object() const { return object_; }

  // Creates a device (named when `name` is given) with extra extension bytes after the Device pointer.
  Device& create(const char16_t* name = nullptr, bool exclusive = false, ULONG flags = 0,
                 DEVICE_TYPE type = FILE_DEVICE_UNKNOWN) {
    auto device = std::make_unique<Device>();
    UNICODE_STRING u;
    if (name != nullptr) RtlInitUnicodeString(&u, name);
    NTSTATUS s = IoCreateDevice(object_, sizeof(Device*) + 64, name ? &u : nullptr, type, 0, exclusive, &device->object);
    if (!NT_SUCCESS(s)) throw std::runtime_error("IoCreateDevice failed");
    *static_cast<Device**>(device->object->DeviceExtension) = device.get();
    device->object->Flags |= flags;
    device->object->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(std::move(device));
    return *devices_.back();
  }
  // A device attached on top of `below`.
  Device& createAttached(Device& below, const char16_t* name = nullptr, bool exclusive = false, ULONG flags = 0) {
    Device& d = create(name, exclusive, flags);
    d.lower = IoAttachDeviceToDeviceStack(d.object, below.object);
    return d;
  }

 private:
  PDRIVER_OBJECT object_;
  std::vector<std::unique_ptr<Device>> devices_;
};

// Sends an internal device control built with IoBuildDeviceIoControlRequest and waits as a driver would.
struct SyncResult {
  NTSTATUS returned;
  IO_STATUS_BLOCK iosb;
};
inline SyncResult sendIoctl(PDEVICE_OBJECT target, ULONG code, void* in = nullptr, ULONG inLength = 0,
                            void* out = nullptr, ULONG outLength = 0, bool internal = true) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = -1;
  PIRP irp = IoBuildDeviceIoControlRequest(code, target, in, inLength, out, outLength, internal, &event, &iosb);
  if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, iosb};
  NTSTATUS s = IofCallDriver(target, irp);
  if (s == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return {s, iosb};
}

}  // namespace w98::test
