// The USB bus of the emulated machine: one root hub with ports into which devices (the simulated cable, or a
// test device) are plugged. For each plugged device the bus driver creates a physical device object (PDO),
// reports it to the Plug and Play manager and serves the URBs that the function driver above it submits with
// IOCTL_INTERNAL_USB_SUBMIT_URB, as the Windows 98 USB stack does.
//
// Timing (docs/design.md): a control transfer pends and completes one 1 ms frame later (or, with the port's
// synchronousControl option, inside the submitting call at no cost); bulk transfers are carried by the
// completion thread at DISPATCH_LEVEL in 64-byte packets, at most 19 per frame, one pipe's transfers in
// order, and complete when their last frame has passed. A NAKed bulk transfer waits until the device reports a
// change (and, for devices that change by themselves when polled, is retried once per frame).
//
// What the PDO does with each URB function:
// - SELECT_CONFIGURATION: checks that the URB holds an interface record big enough for each interface it names
//   (USBD_STATUS_BUFFER_TOO_SMALL otherwise), sends SET_CONFIGURATION (+ SET_INTERFACE for alternate settings
//   other than 0), fills the handles and pipe records; bulk transfers of the previous configuration end
//   cancelled. A null descriptor unconfigures (SET_CONFIGURATION 0).
// - ABORT_PIPE: ends every transfer of the pipe with USBD_STATUS_CANCELED / STATUS_CANCELLED and completes
//   itself at once; the aborted transfers complete one frame later on the completion thread, as a cancelled
//   transfer does (never inside IoCancelIrp). RESET_PIPE: PASSIVE_LEVEL only (a verifier fault otherwise);
//   refused with USBD_STATUS_ERROR_BUSY while transfers are queued on the pipe; clears the host side's halt
//   of the pipe only, at once; the device's endpoint stays halted until CLEAR_FEATURE(ENDPOINT_HALT). Both
//   are logged as TransferKind::PipeRequest.
// - BULK_OR_INTERRUPT_TRANSFER: direction from the endpoint; refused above the pipe's MaximumTransferSize.
//   A STALL, a device error, or a short IN packet without USBD_SHORT_TRANSFER_OK halts the pipe
//   (USBD_STATUS_STALL_PID, the error, USBD_STATUS_ERROR_SHORT_TRANSFER); later transfers fail with
//   USBD_STATUS_ENDPOINT_HALTED without reaching the device until the halt is reset. A short IN packet ends
//   the transfer; full packets keep it going. Bytes moved go to TransferBufferLength.
// - GET_DESCRIPTOR_*, SET/CLEAR_FEATURE_*, GET_STATUS_*, VENDOR_*, CLASS_*, CONTROL_TRANSFER: one control
//   transfer with the setup packet the function implies (bmRequestType from the function and the direction
//   flag); a short IN data stage fails with USBD_STATUS_ERROR_SHORT_TRANSFER unless a vendor, class or
//   control-transfer URB sets USBD_SHORT_TRANSFER_OK (descriptor reads accept it always). Other functions fail
//   with USBD_STATUS_INVALID_URB_FUNCTION.
// The IRP's status follows the URB's: success, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED (device gone),
// STATUS_INVALID_PARAMETER (bad request), otherwise STATUS_UNSUCCESSFUL (stall, device error).
//
// Like the other host headers of the platform this one does not include <ddk/wdm.h>.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/pnp_manager.h"
#include "usb/faults.h"
#include "usb/timing.h"
#include "usb/traffic_log.h"
#include "usb/usb_device.h"

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;
struct _IRP;

namespace sim {
class Cable;
}

namespace w98 {

class Kernel;

struct PortOptions {
  // Control transfers complete inside IofCallDriver, taking no bus time.
  bool synchronousControl = false;
  // Instance id reported to Plug and Play; empty: the port number in decimal.
  std::string instanceId;
  // How the PDO answers IRP_MN_START_DEVICE: with this status, and (startPends) one frame later from the
  // completion thread after returning STATUS_PENDING, as a lower driver may.
  int32_t startStatus = 0;
  bool startPends = false;
};

class UsbBus {
 public:
  // Creates the bus driver's driver object ("\Driver\usbhub") in `kernel`, which must outlive the bus.
  explicit UsbBus(Kernel& kernel);
  // Takes every device still plugged out of the machine (unplug).
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Plugs `device` into the lowest free port (1..127): the bus enumerates it (SET_ADDRESS and its
  // descriptors, not logged), creates its PDO and reports it to Plug and Play, which loads and starts its
  // driver before this returns. Returns the port number, or 0 when the device could not be enumerated.
  // Call from a participant thread at PASSIVE_LEVEL.
  int plug(std::shared_ptr<UsbDevice> device, PortOptions options = {});
  // The simulated cable (it must outlive its port).
  int plug(sim::Cable& cable, PortOptions options = {});
  // Takes the device out, as Windows 98 sees a physical unplug: the transfer the host controller is carrying
  // on each pipe completes with USBD_STATUS_DEV_NOT_RESPONDING (its pipe halts), transfers queued behind it
  // stay pending until their driver aborts the pipe, later submissions fail with USBD_STATUS_DEVICE_GONE;
  // then Plug and Play sends IRP_MN_REMOVE_DEVICE alone, and the PDO is deleted once it has been removed.
  // Returns the status of the removal as the PnP manager reports it; false port numbers give
  // STATUS_NO_SUCH_DEVICE.
  int32_t unplug(int port);
  // The Device Manager's Remove, then the device taken out: query-remove and remove while the device is still
  // on the bus. A refused query-remove is returned and the device stays plugged in and working.
  int32_t remove(int port);
  // The unplug as Windows 2000 and later report it (IRP_MN_SURPRISE_REMOVAL, then remove); only for tests that
  // name this sequence.
  int32_t unplugWithSurpriseRemoval(int port);

  bool plugged(int port) const;
  std::vector<int> ports() const;  // ports with a device plugged in
  _DEVICE_OBJECT* pdo(int port) const;  // nullptr once deleted
  std::shared_ptr<UsbDevice> device(int port) const;
  void setSynchronousControl(int port, bool on);
  uint8_t address(int port) const;  // the device's bus address (0 if none)

  _DRIVER_OBJECT* driverObject() const { return driver_; }
  TrafficLog& log() { return log_; }
  FaultInjector& faults() { return faults_; }
  BusStatistics statistics() const;
  void resetStatistics();
  // Requests accepted and not yet completed (all ports).
  size_t pendingRequests() const;
  // The index the next request on the bus will get (TrafficRecord::index, FaultMatch::requestIndex).
  uint64_t nextRequestIndex() const;

  struct Impl;

 private:
  int32_t takeOut(int port, Removal how);

  Kernel& kernel_;
  _DRIVER_OBJECT* driver_ = nullptr;
  TrafficLog log_;
  FaultInjector faults_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace w98
