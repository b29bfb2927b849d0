// The I/O manager: driver and device objects, the object namespace (\Device, \DosDevices links), requests
// (IRPs) and their completion. The WDM calls themselves (IoCreateDevice, IofCallDriver, ...) are the
// extern "C" functions of <ddk/wdm.h>; this class is what host code (the PnP manager, the USB stack, the
// user-mode interface, tests) uses besides them.
//
// Public headers of the kernel do not include <ddk/wdm.h>: objects are named by their structure tags and
// NTSTATUS values are int32_t, so host code can include both these headers and the Win32 ones.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _UNICODE_STRING;

namespace w98 {

class Kernel;
using NtStatus = int32_t;
using DriverEntryFn = NtStatus (*)(_DRIVER_OBJECT*, _UNICODE_STRING*);

class IoManager {
 public:
  explicit IoManager(Kernel& kernel);
  ~IoManager();
  IoManager(const IoManager&) = delete;
  IoManager& operator=(const IoManager&) = delete;

  // A driver object named `name` ("\Driver\usbhub"); every major function starts out as the I/O manager's
  // default routine, which fails the request with STATUS_INVALID_DEVICE_REQUEST. When `entry` is given it
  // is called as DriverEntry (with the registry path `registryPath`) and its status is stored in `*status`;
  // a failed entry deletes the object again and returns nullptr.
  _DRIVER_OBJECT* createDriver(std::string_view name, DriverEntryFn entry = nullptr,
                               std::string_view registryPath = {}, NtStatus* status = nullptr);
  // Forgets a driver object whose devices are all gone (used at unload).
  void deleteDriver(_DRIVER_OBJECT* driver);
  std::string driverName(const _DRIVER_OBJECT* driver) const;

  // Namespace. Names compare case-insensitively.
  _DEVICE_OBJECT* findDevice(std::string_view kernelName) const;  // "\Device\KVUSB00"
  std::optional<std::string> deviceName(const _DEVICE_OBJECT* device) const;
  std::optional<std::string> symbolicLinkTarget(std::string_view link) const;  // "\DosDevices\KVUSB1"
  std::vector<std::pair<std::string, std::string>> symbolicLinks() const;
  std::vector<std::string> deviceNames() const;
  // Resolves "\\.\NAME[\rest]" through \DosDevices to a device object; `rest` receives "\rest" (or "").
  _DEVICE_OBJECT* resolveUserPath(std::string_view path, std::string* rest, NtStatus* status) const;
  // Resolves as above and, in the same step, takes the handle reference an open holds: nullptr with
  // STATUS_NO_SUCH_DEVICE for a deleted or still initialising device, STATUS_ACCESS_DENIED for an
  // exclusive one already open. Released with releaseHandleReference.
  _DEVICE_OBJECT* referenceForOpen(std::string_view path, std::string* rest, NtStatus* status);

  // Device objects.
  bool isLive(const _DEVICE_OBJECT* device) const;     // created and not yet freed
  bool isDeleted(const _DEVICE_OBJECT* device) const;  // IoDeleteDevice called, kept by references
  size_t liveDevices() const;
  // Device objects of `driver` that still exist, deleted ones kept by references included.
  size_t devicesOf(const _DRIVER_OBJECT* driver) const;
  _DEVICE_OBJECT* topOfStack(_DEVICE_OBJECT* device) const;  // highest device attached above `device`
  _DEVICE_OBJECT* lowerDevice(const _DEVICE_OBJECT* device) const;
  void addHandleReference(_DEVICE_OBJECT* device);
  void releaseHandleReference(_DEVICE_OBJECT* device);
  // Fault injection: the next `count` calls of IoAttachDeviceToDeviceStack attach nothing and return
  // nullptr, as they do for a stack that is being torn down.
  void refuseAttachments(int count);

  // Requests. Builds an IRP for `device`'s stack with the I/O manager as its owner: `onDone` is called once
  // the request has completed past its top (on the completing thread, possibly at DISPATCH_LEVEL), after
  // which the IRP is freed. The caller fills the first stack location (IoGetNextIrpStackLocation).
  _IRP* allocateOwnedIrp(_DEVICE_OBJECT* device, std::function<void(_IRP*)> onDone);
  size_t outstandingRequests() const;
  std::vector<std::string> outstandingRequestReport() const;
  // Reports RequestLeak for every request still outstanding; true when there is none.
  bool checkRequestLeaks(std::string_view context);

  // Called by the kernel's teardown: frees everything.
  void teardown();

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  Kernel& kernel_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace w98
