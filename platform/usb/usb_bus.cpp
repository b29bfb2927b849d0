// The bus driver: PDOs for plugged devices, Plug and Play requests to them, and URB handling with the
// timing model, fault injection and the traffic log.
#include "usb/usb_bus.h"

#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbdi.h>
#include <ddk/usbdlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <shared_mutex>

#include "kernel/kernel.h"
#include "usb/urb_lengths.h"

namespace w98 {

namespace {

constexpr uint32_t kPdoMagic = 0x50425355;  // "USBP"
constexpr uint32_t kPoolTag = 0x44425355;   // "USBD"

struct PdoExtension {
  uint32_t magic;
  UsbBus::Impl* bus;
  int port;
};

// The NTSTATUS with which Windows completes the IRP of a URB that ended with `usbd`.
NTSTATUS ntStatusFor(USBD_STATUS usbd) {
  if (USBD_SUCCESS(usbd)) return STATUS_SUCCESS;
  switch (usbd) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    default: return STATUS_UNSUCCESSFUL;  // stall, halted endpoint, device not responding, ...
  }
}

USBD_STATUS usbdFor(Handshake h) {
  switch (h) {
    case Handshake::Ack: return USBD_STATUS_SUCCESS;
    case Handshake::Nak: return USBD_STATUS_PENDING;
    case Handshake::Stall: return USBD_STATUS_STALL_PID;
    case Handshake::Error: return USBD_STATUS_DEV_NOT_RESPONDING;
  }
  return USBD_STATUS_DEV_NOT_RESPONDING;
}

// bmRequestType and recipient of the URB functions that become one control transfer.
struct ControlShape {
  uint8_t type;       // 0x00 standard, 0x20 class, 0x40 vendor
  uint8_t recipient;  // 0 device, 1 interface, 2 endpoint, 3 other
};
std::optional<ControlShape> shapeOf(USHORT function) {
  switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: return ControlShape{0x40, 0};
    case URB_FUNCTION_VENDOR_INTERFACE: return ControlShape{0x40, 1};
    case URB_FUNCTION_VENDOR_ENDPOINT: return ControlShape{0x40, 2};
    case URB_FUNCTION_VENDOR_OTHER: return ControlShape{0x40, 3};
    case URB_FUNCTION_CLASS_DEVICE: return ControlShape{0x20, 0};
    case URB_FUNCTION_CLASS_INTERFACE: return ControlShape{0x20, 1};
    case URB_FUNCTION_CLASS_ENDPOINT: return ControlShape{0x20, 2};
    case URB_FUNCTION_CLASS_OTHER: return ControlShape{0x20, 3};
    default: return std::nullopt;
  }
}

std::optional<uint8_t> featureRecipient(USHORT function, bool* set) {
  switch (function) {
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: *set = true; return 0;
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE: *set = true; return 1;
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: *set = true; return 2;
    case URB_FUNCTION_SET_FEATURE_TO_OTHER: *set = true; return 3;
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: *set = false; return 0;
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE: *set = false; return 1;
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: *set = false; return 2;
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: *set = false; return 3;
    default: return std::nullopt;
  }
}

std::optional<uint8_t> statusRecipient(USHORT function) {
  switch (function) {
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: return 0;
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE: return 1;
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: return 2;
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: return 3;
    default: return std::nullopt;
  }
}

// The buffer of a transfer: its address, or the system address of its MDL.
uint8_t* transferBuffer(PVOID buffer, PMDL mdl) {
  if (buffer) return static_cast<uint8_t*>(buffer);
  if (mdl) return static_cast<uint8_t*>(MmGetSystemAddressForMdl(mdl));
  return nullptr;
}

// A zero-terminated (or, for multi-strings, double-zero-terminated) wide string in paged pool, which the
// PnP manager frees.
PWSTR poolWide(const std::vector<std::string>& items, bool multi) {
  size_t chars = 1;
  for (const auto& s : items) chars += s.size() + 1;
  if (!multi) chars = (items.empty() ? 0 : items[0].size()) + 1;
  auto* out = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag));
  if (!out) return nullptr;
  size_t at = 0;
  for (const auto& s : items) {
    for (char c : s) out[at++] = WCHAR(static_cast<unsigned char>(c));
    out[at++] = 0;
    if (!multi) break;
  }
  if (multi || items.empty()) out[at++] = 0;
  return out;
}

std::string hex4(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
  return buf;
}
std::string hex2(unsigned v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

}  // namespace

struct UsbBus::Impl {
  struct Pipe {
    uintptr_t handle = 0;
    uint8_t address = 0;
    uint8_t type = USB_ENDPOINT_TYPE_BULK;
    uint16_t maxPacket = 64;
    uint32_t maxTransfer = 0;
    bool halted = false;
    std::deque<uint64_t> queue;  // transfers in order; the front one is being carried
    bool busy = false;           // the front transfer is scheduled, moving or completing
    bool waiting = false;        // the front transfer was NAKed and waits for a change
  };

  struct Port {
    int number = 0;
    uint8_t address = 0;
    std::shared_ptr<UsbDevice> device;
    PortOptions options;
    _DEVICE_OBJECT* pdo = nullptr;
    bool present = true;
    bool pnpRemoved = false;  // IRP_MN_REMOVE_DEVICE seen
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configDescriptor;
    uintptr_t configHandle = 0;
    std::map<uintptr_t, Pipe> pipes;
  };

  enum class Kind { Control, Bulk, Pipe };

  struct Transfer {
    uint64_t id = 0;
    int port = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Kind kind = Kind::Control;
    USHORT function = 0;
    uintptr_t pipe = 0;
    bool in = false;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    std::vector<uint8_t> staged;  // IN data, copied to the caller's buffer at completion
    uint32_t moved = 0;
    size_t logPos = 0;
    Clock::TimerId timer = 0;
    bool decided = false;
    USBD_STATUS status = USBD_STATUS_PENDING;
    bool hung = false;
    bool cancelTooLate = false;  // a cancel came after the bulk data had all moved: it completes as decided
    std::optional<FaultRule> fault;
    std::function<void(Transfer&)> onSuccess;  // fills the URB's results (under the bus lock)
  };

  Impl(UsbBus& b, Kernel& k) : bus(b), kernel(k) {}

  UsbBus& bus;
  Kernel& kernel;
  mutable std::mutex mutex;
  std::map<int, std::shared_ptr<Port>> ports;
  std::vector<_DEVICE_OBJECT*> createdPdos;  // every PDO made, to cut the survivors loose at the end
  std::map<uint64_t, std::unique_ptr<Transfer>> transfers;
  // Ended by a cancel or an abort, their requests not yet completed on the completion thread.
  std::map<uint64_t, std::unique_ptr<Transfer>> ended;
  uint64_t nextTransfer = 1;
  uint64_t nextIndex = 0;
  uintptr_t nextHandle = 0x00C0FFEE0000ull;
  BusStatistics stats;
  Ticks bulkFreeAt = 0;
  std::atomic<bool> retryScheduled{false};
  // Bulk transfers in `transfers`. A pipe that waits for the device to change holds one, and so does one that
  // is trying the device now; with none, a change has nobody to retry for. Changed under `mutex`, read
  // without it by onDeviceChange, which the device may call while this bus holds `mutex`.
  std::atomic<int> bulkTransfers{0};
  std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
  // Timer callbacks run through the gate: the bus's destructor closes it and waits for one in progress.
  struct Gate {
    std::shared_mutex mutex;
    bool open = true;
  };
  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  template <typename F>
  void schedule(Ticks due, F fn) {
    auto g = gate;
    kernel.clock().schedule(due, [g, fn = std::move(fn)]() mutable {
      std::shared_lock lock(g->mutex);
      if (g->open) fn();
    });
  }
  template <typename F>
  Clock::TimerId scheduleTimer(Ticks due, F fn) {
    auto g = gate;
    return kernel.clock().schedule(due, [g, fn = std::move(fn)]() mutable {
      std::shared_lock lock(g->mutex);
      if (g->open) fn();
    });
  }

  // ------------------------------------------------------------------ helpers (lock held)
  Ticks now() const { return kernel.clock().now(); }

  Port* portLocked(int number) {
    auto it = ports.find(number);
    return it == ports.end() ? nullptr : it->second.get();
  }

  uintptr_t newHandle() { return nextHandle += 0x10; }

  size_t logBegin(Port& port, Transfer& t, TransferKind kind, const SetupPacket* setup, uint64_t index) {
    TrafficRecord r;
    r.index = index;
    r.device = port.address;
    r.kind = kind;
    r.urbFunction = t.function;
    r.in = t.in;
    r.requestedLength = t.length;
    r.submitTime = now();
    if (setup) {
      r.setup = *setup;
      r.endpoint = t.in ? 0x80 : 0x00;
    } else if (auto* pipe = findPipe(port, t.pipe)) {
      r.endpoint = pipe->address;
    }
    if (!t.in && t.buffer && t.length && kind != TransferKind::PipeRequest)
      r.data.assign(t.buffer, t.buffer + t.length);
    return bus.log_.begin(std::move(r));
  }

  // Logs an ABORT_PIPE or RESET_PIPE of `handle`, bookkeeping that never reaches the wire.
  size_t logPipeRequest(Port& port, uint16_t function, uintptr_t handle, uint64_t index) {
    Transfer record;
    record.kind = Kind::Pipe;
    record.function = function;
    record.pipe = handle;
    return logBegin(port, record, TransferKind::PipeRequest, nullptr, index);
  }

  Pipe* findPipe(Port& port, uintptr_t handle) {
    auto it = port.pipes.find(handle);
    return it == port.pipes.end() ? nullptr : &it->second;
  }

  Pipe* pipeByAddress(Port& port, uint8_t address) {
    for (auto& [h, p] : port.pipes)
      if (p.address == address) return &p;
    return nullptr;
  }

  // Ends `t` with `status`: writes the URB and the IRP (not completing it) and logs it. The transfer
  // must already be out of the tables.
  void finishLocked(Transfer& t, USBD_STATUS status) {
    t.status = status;
    bool ok = USBD_SUCCESS(status);
    if (ok && t.onSuccess) t.onSuccess(t);
    if (t.urb) {
      t.urb->UrbHeader.Status = status;
      switch (t.kind) {
        case Kind::Control:
        case Kind::Bulk:
          if (ok && t.in && t.buffer && t.moved) std::memcpy(t.buffer, t.staged.data(), t.moved);
          // Bytes moved: every layout with a data stage keeps TransferBufferLength at the same place.
          if (t.function != URB_FUNCTION_SELECT_CONFIGURATION &&
              !featureRecipientOf(t.function))
            t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = ok || t.kind == Kind::Bulk ? t.moved : 0;
          break;
        case Kind::Pipe:
          break;
      }
    }
    if (t.irp) {
      t.irp->IoStatus.Status = ntStatusFor(status);
      t.irp->IoStatus.Information = 0;
    }
    bus.log_.complete(t.logPos, status, now(), t.moved, t.in && t.moved ? t.staged.data() : nullptr,
                      t.in ? t.moved : 0);
    if (t.fault) bus.log_.setFault(t.logPos, toString(t.fault->action));
  }

  static bool shortIsError(const URB& urb) {
    USHORT function = urb.UrbHeader.Function;
    if (function == URB_FUNCTION_CONTROL_TRANSFER)
      return (urb.UrbControlTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0;
    if (shapeOf(function))
      return (urb.UrbControlVendorClassRequest.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0;
    return false;
  }

  static bool featureRecipientOf(USHORT function) {
    bool set = false;
    return featureRecipient(function, &set).has_value();
  }

  // Takes `id` out of the tables if the bus still owns its IRP (no cancel routine running for it).
  std::unique_ptr<Transfer> claimLocked(uint64_t id) {
    auto it = transfers.find(id);
    if (it == transfers.end()) return nullptr;
    Transfer& t = *it->second;
    if (t.irp && !t.cancelTooLate && IoSetCancelRoutine(t.irp, nullptr) == nullptr)
      return nullptr;  // the cancel routine has it
    auto owned = std::move(it->second);
    transfers.erase(it);
    if (owned->kind == Kind::Bulk) --bulkTransfers;
    if (owned->timer) kernel.clock().cancel(owned->timer);
    detachFromPipeLocked(*owned);
    return owned;
  }

  void detachFromPipeLocked(Transfer& t) {
    if (t.kind != Kind::Bulk) return;
    Port* port = portLocked(t.port);
    if (!port) return;
    Pipe* pipe = findPipe(*port, t.pipe);
    if (!pipe) return;
    bool wasFront = !pipe->queue.empty() && pipe->queue.front() == t.id;
    pipe->queue.erase(std::remove(pipe->queue.begin(), pipe->queue.end(), t.id), pipe->queue.end());
    if (wasFront) {
      pipe->busy = false;
      pipe->waiting = false;
      kickLocked(*port, *pipe);
    }
  }

  static void complete(std::vector<std::unique_ptr<Transfer>>& done) {
    for (auto& t : done)
      if (t->irp) IofCompleteRequest(t->irp, IO_NO_INCREMENT);
    done.clear();
  }

  // Transfers that a cancel or an abort ended complete on the completion thread at the next frame, when the
  // host controller has let go of them: never inside IoCancelIrp, and after the abort itself ("_URB_HEADER":
  // completion of the abort does not imply that the other outstanding requests have completed).
  void completeOnCompletionThreadLocked(std::unique_ptr<Transfer> t) {
    uint64_t id = t->id;
    ended[id] = std::move(t);
    schedule(now() + usb_timing::kFrame, [this, id] { completeEnded(id); });
  }
  void completeEnded(uint64_t id) {
    std::unique_ptr<Transfer> t;
    {
      std::lock_guard lock(mutex);
      auto it = ended.find(id);
      if (it == ended.end()) return;
      t = std::move(it->second);
      ended.erase(it);
    }
    if (t->irp) IofCompleteRequest(t->irp, IO_NO_INCREMENT);
  }
  // The bus is going: what it ended completes now, since its completion thread will not run again.
  void completeAllEnded() {
    std::vector<std::unique_ptr<Transfer>> done;
    {
      std::lock_guard lock(mutex);
      for (auto& [id, t] : ended) done.push_back(std::move(t));
      ended.clear();
    }
    complete(done);
  }

  // ------------------------------------------------------------------ pending and cancel
  // Marks `irp` pending with our cancel routine. False when it was cancelled before that: the caller then
  // finishes it as cancelled itself.
  bool armCancelLocked(PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &Impl::cancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) return false;
    return true;
  }

  static VOID cancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    ext->bus->cancel(irp);
  }

  void cancel(PIRP irp) {
    std::lock_guard lock(mutex);
    for (auto it = transfers.begin(); it != transfers.end(); ++it) {
      if (it->second->irp == irp) {
        Transfer& found = *it->second;
        // A bulk transfer whose data has all moved is finished on the wire; only its completion waits for the
        // frame. A cancel cannot take the data back: the transfer completes with its status and byte count.
        if (found.kind == Kind::Bulk && found.decided && USBD_SUCCESS(found.status)) {
          found.cancelTooLate = true;
          if (found.timer != 0) return;  // its completion is still to come
          // Its completion ran first and left it to this cancel: complete it as decided.
          std::unique_ptr<Transfer> t = std::move(it->second);
          transfers.erase(it);
          --bulkTransfers;
          stats.bulkTransfers++;
          detachFromPipeLocked(*t);
          finishLocked(*t, t->status);
          completeOnCompletionThreadLocked(std::move(t));
          return;
        }
        std::unique_ptr<Transfer> t = std::move(it->second);
        transfers.erase(it);
        if (t->kind == Kind::Bulk) --bulkTransfers;
        if (t->timer) kernel.clock().cancel(t->timer);
        detachFromPipeLocked(*t);
        finishLocked(*t, USBD_STATUS_CANCELED);
        completeOnCompletionThreadLocked(std::move(t));
        return;
      }
    }
  }

  // ------------------------------------------------------------------ dispatch
  // A PDO that outlives its bus (kept by references) has no bus any more: it answers that the device is gone.
  static NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    if (!ext->bus) return completeIrp(irp, STATUS_NO_SUCH_DEVICE);
    return ext->bus->pnp(ext->port, device, irp);
  }
  static NTSTATUS dispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    if (!ext->bus) return completeIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
    return ext->bus->internalControl(ext->port, irp);
  }
  static NTSTATUS dispatchPower(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  static NTSTATUS dispatchOther(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  static NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  NTSTATUS pnp(int portNumber, PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS internalControl(int portNumber, PIRP irp);
  NTSTATUS submitUrb(int portNumber, PIRP irp, PURB urb);
  NTSTATUS submitControl(Port& port, PIRP irp, PURB urb, std::unique_ptr<Transfer> t, const SetupPacket& setup,
                         std::unique_lock<std::mutex>& lock, uint64_t index,
                         const std::vector<SetupPacket>& followUps = {});
  NTSTATUS submitBulk(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock, uint64_t index);
  NTSTATUS selectConfiguration(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock, uint64_t index);
  NTSTATUS abortPipe(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock, uint64_t index);
  NTSTATUS resetPipe(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock, uint64_t index);
  NTSTATUS failUrb(PIRP irp, PURB urb, USBD_STATUS status, std::unique_lock<std::mutex>& lock);

  // ------------------------------------------------------------------ bulk engine
  void kickLocked(Port& port, Pipe& pipe);
  void startFront(int portNumber, uintptr_t pipeHandle);
  void scheduleCompletionLocked(Transfer& t, Ticks due);
  void completeTimer(uint64_t id);
  void onDeviceChange();
  void retryWaiting();

  // Transfers of a port that the bus still owns: all, the bulk ones, or those of one pipe.
  std::vector<std::unique_ptr<Transfer>> takePortTransfersLocked(int portNumber, std::optional<uintptr_t> pipe,
                                                                 bool bulkOnly = false);
};

// ==================================================================== Plug and Play

NTSTATUS UsbBus::Impl::pnp(int portNumber, PDEVICE_OBJECT device, PIRP irp) {
  auto* sp = IoGetCurrentIrpStackLocation(irp);
  std::shared_ptr<Port> port;
  {
    std::lock_guard lock(mutex);
    auto it = ports.find(portNumber);
    if (it != ports.end()) port = it->second;
  }
  if (!port) return completeIrp(irp, STATUS_NO_SUCH_DEVICE);

  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      const NTSTATUS status = port->options.startStatus;
      if (!port->options.startPends) return completeIrp(irp, status);
      IoMarkIrpPending(irp);
      schedule(now() + usb_timing::kFrame, [irp, status] { completeIrp(irp, status); });
      return STATUS_PENDING;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return completeIrp(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL: {
      std::vector<std::unique_ptr<Transfer>> done;
      {
        std::lock_guard lock(mutex);
        done = takePortTransfersLocked(portNumber, std::nullopt);
        for (auto& t : done) finishLocked(*t, USBD_STATUS_DEVICE_GONE);
      }
      complete(done);
      return completeIrp(irp, STATUS_SUCCESS);
    }
    case IRP_MN_REMOVE_DEVICE: {
      std::vector<std::unique_ptr<Transfer>> done;
      bool gone;
      {
        std::lock_guard lock(mutex);
        done = takePortTransfersLocked(portNumber, std::nullopt);
        for (auto& t : done) finishLocked(*t, USBD_STATUS_CANCELED);
        port->pnpRemoved = true;
        port->pipes.clear();
        port->configHandle = 0;
        gone = !port->present;
      }
      complete(done);
      NTSTATUS status = completeIrp(irp, STATUS_SUCCESS);
      if (gone) {
        // The device has left the bus: its PDO goes with it.
        {
          std::lock_guard lock(mutex);
          port->pdo = nullptr;
          ports.erase(portNumber);
        }
        IoDeleteDevice(device);
      }
      return status;
    }
    case IRP_MN_QUERY_ID: {
      std::string vidPid = "USB\\VID_" + hex4(port->device->vendorId()) + "&PID_" + hex4(port->device->productId());
      uint16_t rev = 0;
      if (port->deviceDescriptor.size() >= 14) rev = uint16_t(port->deviceDescriptor[12] | port->deviceDescriptor[13] << 8);
      PWSTR text = nullptr;
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          text = poolWide({vidPid}, false);
          break;
        case BusQueryHardwareIDs:
          text = poolWide({vidPid + "&REV_" + hex4(rev), vidPid}, true);
          break;
        case BusQueryCompatibleIDs: {
          std::vector<std::string> ids;
          // The first interface's class, as the hub reports it for a device of class 0.
          auto* cd = port->configDescriptor.empty()
                         ? nullptr
                         : reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(port->configDescriptor.data());
          auto* id = cd ? USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1) : nullptr;
          if (id) {
            std::string c = "USB\\Class_" + hex2(id->bInterfaceClass);
            ids = {c + "&SubClass_" + hex2(id->bInterfaceSubClass) + "&Prot_" + hex2(id->bInterfaceProtocol),
                   c + "&SubClass_" + hex2(id->bInterfaceSubClass), c};
          }
          text = poolWide(ids, true);
          break;
        }
        case BusQueryInstanceID:
          text = poolWide({port->options.instanceId.empty() ? std::to_string(portNumber) : port->options.instanceId},
                          false);
          break;
        default:
          return completeIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
      }
      if (!text) return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      return completeIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      if (!caps) return completeIrp(irp, STATUS_INVALID_PARAMETER);
      caps->Removable = 1;
      caps->SurpriseRemovalOK = 1;
      caps->UniqueID = 0;
      caps->Address = ULONG(portNumber);
      caps->UINumber = ULONG(portNumber);
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      return completeIrp(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (sp->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
        return completeIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
      auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
      if (!rel) return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      rel->Count = 1;
      rel->Objects[0] = device;
      ObfReferenceObject(device);
      return completeIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(rel));
    }
    default:
      // Requests a bus driver does not handle keep the status they came with.
      return completeIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

// ==================================================================== URBs

NTSTATUS UsbBus::Impl::internalControl(int portNumber, PIRP irp) {
  auto* sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return submitUrb(portNumber, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* out = static_cast<PULONG>(sp->Parameters.Others.Argument1);
      if (!out) return completeIrp(irp, STATUS_INVALID_PARAMETER);
      std::lock_guard lock(mutex);
      Port* port = portLocked(portNumber);
      *out = port && port->present ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
      return completeIrp(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return completeIrp(irp, STATUS_SUCCESS);
    default:
      return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS UsbBus::Impl::failUrb(PIRP irp, PURB urb, USBD_STATUS status, std::unique_lock<std::mutex>& lock) {
  if (urb) urb->UrbHeader.Status = status;
  lock.unlock();
  return completeIrp(irp, ntStatusFor(status));
}

NTSTATUS UsbBus::Impl::submitUrb(int portNumber, PIRP irp, PURB urb) {
  std::unique_lock lock(mutex);
  uint64_t index = nextIndex++;
  if (!urb) return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, lock);
  auto found = ports.find(portNumber);
  // Aborting a pipe is the host's own bookkeeping: it still works after the device left, until the PDO's
  // remove, so that a driver can end the transfers it has queued.
  const bool hostOnly = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE && found != ports.end() &&
                        !found->second->pnpRemoved;
  if (found == ports.end() || (!found->second->present && !hostOnly))
    return failUrb(irp, urb, USBD_STATUS_DEVICE_GONE, lock);
  std::shared_ptr<Port> keep = found->second;  // stays valid while the lock is dropped on the way
  Port* port = keep.get();

  const USHORT function = urb->UrbHeader.Function;
  if (auto length = RequiredUrbLength(*urb); length && urb->UrbHeader.Length != *length)
    return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, lock);
  auto makeControl = [&](bool in, uint8_t* buffer, uint32_t length) {
    auto t = std::make_unique<Transfer>();
    t->kind = Kind::Control;
    t->function = function;
    t->port = portNumber;
    t->irp = irp;
    t->urb = urb;
    t->in = in;
    t->buffer = buffer;
    t->length = length;
    return t;
  };

  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return selectConfiguration(*port, irp, urb, lock, index);
    case URB_FUNCTION_ABORT_PIPE:
      return abortPipe(*port, irp, urb, lock, index);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return resetPipe(*port, irp, urb, lock, index);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return submitBulk(*port, irp, urb, lock, index);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      auto& r = urb->UrbControlDescriptorRequest;
      uint8_t* buffer = transferBuffer(r.TransferBuffer, r.TransferBufferMDL);
      if (r.TransferBufferLength > 0xFFFF || (r.TransferBufferLength && !buffer))
        return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, lock);
      uint8_t recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0
                          : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1
                                                                                   : 2;
      SetupPacket setup{uint8_t(0x80 | recipient), USB_REQUEST_GET_DESCRIPTOR,
                        uint16_t(r.DescriptorType << 8 | r.Index), r.LanguageId, uint16_t(r.TransferBufferLength)};
      return submitControl(*port, irp, urb, makeControl(true, buffer, r.TransferBufferLength), setup, lock, index);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& r = urb->UrbControlTransfer;
      uint8_t* buffer = transferBuffer(r.TransferBuffer, r.TransferBufferMDL);
      const UCHAR* s = r.SetupPacket;
      SetupPacket setup{s[0], s[1], uint16_t(s[2] | s[3] << 8), uint16_t(s[4] | s[5] << 8), uint16_t(s[6] | s[7] << 8)};
      bool in = (s[0] & 0x80) != 0;
      if (r.TransferBufferLength > 0xFFFF || (r.TransferBufferLength && !buffer))
        return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, lock);
      setup.wLength = uint16_t(r.TransferBufferLength);
      return submitControl(*port, irp, urb, makeControl(in, buffer, r.TransferBufferLength), setup, lock, index);
    }
    default:
      break;
  }

  if (auto shape = shapeOf(function)) {
    auto& r = urb->UrbControlVendorClassRequest;
    bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    uint8_t* buffer = transferBuffer(r.TransferBuffer, r.TransferBufferMDL);
    if (r.TransferBufferLength > 0xFFFF || (r.TransferBufferLength && !buffer))
      return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, lock);
    SetupPacket setup{uint8_t((in ? 0x80 : 0x00) | shape->type | shape->recipient | (r.RequestTypeReservedBits & 0x1C)),
                      r.Request, r.Value, r.Index, uint16_t(r.TransferBufferLength)};
    return submitControl(*port, irp, urb, makeControl(in, buffer, r.TransferBufferLength), setup, lock, index);
  }

  bool set = false;
  if (auto recipient = featureRecipient(function, &set)) {
    auto& r = urb->UrbControlFeatureRequest;
    SetupPacket setup{*recipient, uint8_t(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
                      r.FeatureSelector, r.Index, 0};
    auto t = makeControl(false, nullptr, 0);
    if (!set && *recipient == 2 && r.FeatureSelector == USB_FEATURE_ENDPOINT_STALL) {
      // Clearing an endpoint's halt also lets the host side of its pipe run again.
      uint8_t address = uint8_t(r.Index);
      t->onSuccess = [this, address](Transfer& done) {
        if (Port* p = portLocked(done.port))
          if (Pipe* pipe = pipeByAddress(*p, address)) pipe->halted = false;
      };
    }
    return submitControl(*port, irp, urb, std::move(t), setup, lock, index);
  }

  if (auto recipient = statusRecipient(function)) {
    auto& r = urb->UrbControlGetStatusRequest;
    uint8_t* buffer = transferBuffer(r.TransferBuffer, r.TransferBufferMDL);
    if (r.TransferBufferLength < 2 || !buffer) return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, lock);
    SetupPacket setup{uint8_t(0x80 | *recipient), USB_REQUEST_GET_STATUS, 0, r.Index, 2};
    return submitControl(*port, irp, urb, makeControl(true, buffer, 2), setup, lock, index);
  }

  return failUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, lock);
}

NTSTATUS UsbBus::Impl::submitControl(Port& port, PIRP irp, PURB urb, std::unique_ptr<Transfer> t,
                                     const SetupPacket& setup, std::unique_lock<std::mutex>& lock, uint64_t index,
                                     const std::vector<SetupPacket>& followUps) {
  int wireTransfers = 1;
  t->id = nextTransfer++;
  t->logPos = logBegin(port, *t, TransferKind::Control, &setup, index);
  t->fault = bus.faults_.take({index, t->function, setup, std::nullopt});
  Ticks extra = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  if (t->fault && t->fault->action == FaultAction::Hang) {
    t->hung = true;
  } else if (t->fault && t->fault->action == FaultAction::Stall) {
    status = USBD_STATUS_STALL_PID;
  } else if (t->fault && t->fault->action == FaultAction::Error) {
    status = t->fault->usbdStatus;
  } else {
    if (t->fault) extra = t->fault->extraDelay;
    t->staged.assign(setup.wLength, 0);
    if (!t->in && t->buffer && t->length) std::memcpy(t->staged.data(), t->buffer, t->length);
    TransferResult r = port.device->control(setup, std::span<uint8_t>(t->staged));
    status = usbdFor(r.handshake);
    if (r.handshake == Handshake::Nak) status = USBD_STATUS_DEV_NOT_RESPONDING;  // no retries on the default pipe
    t->moved = r.handshake == Handshake::Ack ? uint32_t(std::min<size_t>(r.bytes, setup.wLength)) : 0;
    // A short IN data stage is an error unless the request allows it with USBD_SHORT_TRANSFER_OK
    // ("_URB_CONTROL_VENDOR_OR_CLASS_REQUEST", "_URB_CONTROL_TRANSFER"); descriptor reads allow it always.
    if (USBD_SUCCESS(status) && t->in && urb && t->moved < setup.wLength && shortIsError(*urb))
      status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    // Requests that take more than one transfer on the wire (SET_CONFIGURATION + SET_INTERFACE): each is
    // logged on its own, one frame after the other.
    for (const SetupPacket& next : followUps) {
      if (!USBD_SUCCESS(status)) break;
      Transfer step;
      step.function = t->function;
      size_t pos = logBegin(port, step, TransferKind::Control, &next, index);
      std::vector<uint8_t> none;
      TransferResult fr = port.device->control(next, std::span<uint8_t>(none));
      status = usbdFor(fr.handshake);
      if (fr.handshake == Handshake::Nak) status = USBD_STATUS_DEV_NOT_RESPONDING;
      ++wireTransfers;
      bus.log_.complete(pos, status, now() + usb_timing::kFrame * wireTransfers, 0);
    }
  }
  if (!t->hung) {
    stats.controlTransfers += uint64_t(wireTransfers);
    if (!port.options.synchronousControl) {
      stats.controlFrames += uint64_t(wireTransfers);
      stats.busyTime += usb_timing::kFrame * wireTransfers;
    }
    stats.controlBytes += t->moved;
  }

  const bool synchronous = port.options.synchronousControl && !t->hung && extra == 0;
  if (synchronous) {
    finishLocked(*t, status);
    lock.unlock();
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return ntStatusFor(status);
  }

  t->decided = !t->hung;
  t->status = status;
  if (!armCancelLocked(irp)) {
    finishLocked(*t, USBD_STATUS_CANCELED);
    lock.unlock();
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  Transfer& ref = *t;
  transfers[t->id] = std::move(t);
  if (!ref.hung) scheduleCompletionLocked(ref, now() + usb_timing::kFrame * wireTransfers + extra);
  return STATUS_PENDING;
}

NTSTATUS UsbBus::Impl::selectConfiguration(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock,
                                           uint64_t index) {
  auto& sc = urb->UrbSelectConfiguration;
  auto t = std::make_unique<Transfer>();
  t->kind = Kind::Control;
  t->function = URB_FUNCTION_SELECT_CONFIGURATION;
  t->port = port.number;
  t->irp = irp;
  t->urb = urb;

  PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
  if (!cd) {
    // Unconfigure: SET_CONFIGURATION(0); every pipe goes away.
    std::vector<std::unique_ptr<Transfer>> aborted = takePortTransfersLocked(port.number, std::nullopt, true);
    for (auto& a : aborted) finishLocked(*a, USBD_STATUS_CANCELED);
    port.pipes.clear();
    port.configHandle = 0;
    SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
    lock.unlock();
    complete(aborted);
    lock.lock();
    if (!port.present) return failUrb(irp, urb, USBD_STATUS_DEVICE_GONE, lock);
    return submitControl(port, irp, urb, std::move(t), setup, lock, index);
  }

  const size_t infoOffset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  const size_t urbLength = urb->UrbHeader.Length;
  if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return failUrb(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, lock);

  struct Selected {
    PUSBD_INTERFACE_INFORMATION info;
    PUSB_INTERFACE_DESCRIPTOR descriptor;
    std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
  };
  std::vector<Selected> selected;
  size_t offset = infoOffset;
  const UCHAR* cdEnd = reinterpret_cast<const UCHAR*>(cd) + cd->wTotalLength;
  for (unsigned i = 0; i < cd->bNumInterfaces; ++i) {
    const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (offset + header > urbLength) {
      if (i == 0) return failUrb(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL, lock);
      break;  // the caller described fewer interfaces than the configuration has
    }
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
    if (info->Length == 0 && i > 0) break;
    auto* id = USBD_ParseConfigurationDescriptorEx(cd, cd, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (!id) return failUrb(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND, lock);
    const size_t needed = GET_USBD_INTERFACE_SIZE(id->bNumEndpoints);
    if (info->Length < needed || offset + needed > urbLength)
      return failUrb(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL, lock);
    Selected s{info, id, {}};
    const UCHAR* d = reinterpret_cast<const UCHAR*>(id) + id->bLength;
    while (s.endpoints.size() < id->bNumEndpoints && d + 2 <= cdEnd && d[0] >= 2 && d + d[0] <= cdEnd &&
           d[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR))
        s.endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(const_cast<UCHAR*>(d)));
      d += d[0];
    }
    if (s.endpoints.size() != id->bNumEndpoints) return failUrb(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, lock);
    for (size_t p = 0; p < s.endpoints.size(); ++p)
      if (info->Pipes[p].PipeFlags & ~ULONG(USBD_PF_VALID_MASK))
        return failUrb(irp, urb, USBD_STATUS_INAVLID_PIPE_FLAGS, lock);
    selected.push_back(std::move(s));
    offset += info->Length;
  }

  // The old configuration's transfers end with it.
  std::vector<std::unique_ptr<Transfer>> aborted = takePortTransfersLocked(port.number, std::nullopt, true);
  for (auto& a : aborted) finishLocked(*a, USBD_STATUS_CANCELED);
  port.pipes.clear();
  port.configHandle = 0;
  lock.unlock();
  complete(aborted);
  lock.lock();
  if (!port.present) return failUrb(irp, urb, USBD_STATUS_DEVICE_GONE, lock);

  // SET_CONFIGURATION goes on the wire, then SET_INTERFACE for each alternate setting other than 0.
  SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, cd->bConfigurationValue, 0, 0};
  std::vector<SetupPacket> followUps;
  for (const auto& s : selected)
    if (s.descriptor->bAlternateSetting != 0)
      followUps.push_back({0x01, USB_REQUEST_SET_INTERFACE, s.descriptor->bAlternateSetting,
                           s.descriptor->bInterfaceNumber, 0});
  t->onSuccess = [this, selected](Transfer& done) {
    Port* p = portLocked(done.port);
    if (!p) return;
    uintptr_t config = newHandle();
    p->configHandle = config;
    done.urb->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(config);
    for (const auto& s : selected) {
      s.info->Class = s.descriptor->bInterfaceClass;
      s.info->SubClass = s.descriptor->bInterfaceSubClass;
      s.info->Protocol = s.descriptor->bInterfaceProtocol;
      s.info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(newHandle());
      s.info->NumberOfPipes = ULONG(s.endpoints.size());
      for (size_t i = 0; i < s.endpoints.size(); ++i) {
        auto* ep = s.endpoints[i];
        auto& pi = s.info->Pipes[i];
        Pipe pipe;
        pipe.handle = newHandle();
        pipe.address = ep->bEndpointAddress;
        pipe.type = ep->bmAttributes & USB_ENDPOINT_TYPE_MASK;
        pipe.maxPacket = ep->wMaxPacketSize ? ep->wMaxPacketSize : 64;
        pipe.maxTransfer = pi.MaximumTransferSize;
        pi.MaximumPacketSize = ep->wMaxPacketSize;
        pi.EndpointAddress = ep->bEndpointAddress;
        pi.Interval = ep->bInterval;
        pi.PipeType = static_cast<USBD_PIPE_TYPE>(pipe.type);
        pi.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe.handle);
        p->pipes[pipe.handle] = pipe;
      }
    }
  };
  return submitControl(port, irp, urb, std::move(t), setup, lock, index, followUps);
}

NTSTATUS UsbBus::Impl::abortPipe(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock, uint64_t index) {
  uintptr_t handle = reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle);
  Pipe* pipe = findPipe(port, handle);
  if (!pipe) return failUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, lock);
  const size_t pos = logPipeRequest(port, URB_FUNCTION_ABORT_PIPE, handle, index);
  for (auto& a : takePortTransfersLocked(port.number, handle)) {
    finishLocked(*a, USBD_STATUS_CANCELED);
    completeOnCompletionThreadLocked(std::move(a));
  }
  bus.log_.complete(pos, USBD_STATUS_SUCCESS, now(), 0);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  lock.unlock();
  return completeIrp(irp, STATUS_SUCCESS);
}

// The USB 1.1 stack resets the host side of the pipe only (halt state, data toggle): a halt of the device's
// endpoint stays until CLEAR_FEATURE(ENDPOINT_HALT). Nothing goes on the wire.
NTSTATUS UsbBus::Impl::resetPipe(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock, uint64_t index) {
  uintptr_t handle = reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle);
  Pipe* pipe = findPipe(port, handle);
  if (!pipe) return failUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, lock);
  // "URB_FUNCTION_RESET_PIPE": only at PASSIVE_LEVEL, and only on a pipe with no transfers queued.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    kernel.verifier().report(Fault::WrongIrql, "URB_FUNCTION_RESET_PIPE submitted at IRQL " +
                                                   std::to_string(KeGetCurrentIrql()) + " (PASSIVE_LEVEL only)");
  if (!pipe->queue.empty()) return failUrb(irp, urb, USBD_STATUS_ERROR_BUSY, lock);
  const size_t pos = logPipeRequest(port, URB_FUNCTION_RESET_PIPE, handle, index);
  pipe->halted = false;
  bus.log_.complete(pos, USBD_STATUS_SUCCESS, now(), 0);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  lock.unlock();
  return completeIrp(irp, STATUS_SUCCESS);
}

NTSTATUS UsbBus::Impl::submitBulk(Port& port, PIRP irp, PURB urb, std::unique_lock<std::mutex>& lock, uint64_t index) {
  auto& r = urb->UrbBulkOrInterruptTransfer;
  uintptr_t handle = reinterpret_cast<uintptr_t>(r.PipeHandle);
  Pipe* pipe = findPipe(port, handle);
  if (!pipe) return failUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, lock);
  uint8_t* buffer = transferBuffer(r.TransferBuffer, r.TransferBufferMDL);
  // A pipe opened with a maximum transfer size refuses larger transfers (0: the one-page default).
  const uint32_t limit = pipe->maxTransfer ? pipe->maxTransfer : 4096;
  if ((r.TransferBufferLength && !buffer) || r.TransferBufferLength > limit)
    return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, lock);

  auto t = std::make_unique<Transfer>();
  t->id = nextTransfer++;
  t->kind = Kind::Bulk;
  t->function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  t->port = port.number;
  t->irp = irp;
  t->urb = urb;
  t->pipe = handle;
  t->in = (pipe->address & USB_ENDPOINT_DIRECTION_MASK) != 0;
  t->buffer = buffer;
  t->length = r.TransferBufferLength;
  t->logPos = logBegin(port, *t, TransferKind::Bulk, nullptr, index);
  t->fault = bus.faults_.take({index, t->function, std::nullopt, pipe->address});
  if (t->fault && t->fault->action == FaultAction::Hang) t->hung = true;
  if (t->in) t->staged.assign(t->length, 0);

  if (!armCancelLocked(irp)) {
    finishLocked(*t, USBD_STATUS_CANCELED);
    lock.unlock();
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  uint64_t id = t->id;
  transfers[id] = std::move(t);
  ++bulkTransfers;
  pipe->queue.push_back(id);
  kickLocked(port, *pipe);
  return STATUS_PENDING;
}

std::vector<std::unique_ptr<UsbBus::Impl::Transfer>> UsbBus::Impl::takePortTransfersLocked(int portNumber,
                                                                                         std::optional<uintptr_t> pipe,
                                                                                         bool bulkOnly) {
  std::vector<uint64_t> ids;
  for (auto& [id, t] : transfers) {
    if (t->port != portNumber) continue;
    if ((pipe || bulkOnly) && t->kind != Kind::Bulk) continue;
    if (pipe && t->pipe != *pipe) continue;
    ids.push_back(id);
  }
  std::vector<std::unique_ptr<Transfer>> out;
  for (uint64_t id : ids)
    if (auto t = claimLocked(id)) out.push_back(std::move(t));
  return out;
}

// ==================================================================== bulk engine and completion timers

void UsbBus::Impl::kickLocked(Port& port, Pipe& pipe) {
  if (pipe.busy || pipe.queue.empty() || !port.present) return;
  pipe.busy = true;
  pipe.waiting = false;
  int portNumber = port.number;
  uintptr_t handle = pipe.handle;
  schedule(now(), [this, portNumber, handle] { startFront(portNumber, handle); });
}

void UsbBus::Impl::scheduleCompletionLocked(Transfer& t, Ticks due) {
  uint64_t id = t.id;
  t.timer = scheduleTimer(due, [this, id] { completeTimer(id); });
}

void UsbBus::Impl::completeTimer(uint64_t id) {
  std::unique_ptr<Transfer> t;
  {
    std::lock_guard lock(mutex);
    auto it = transfers.find(id);
    if (it == transfers.end()) return;
    it->second->timer = 0;  // this timer is running: nothing to cancel any more
    t = claimLocked(id);
    if (!t) return;
    if (t->kind == Kind::Bulk && USBD_SUCCESS(t->status)) {
      stats.bulkTransfers++;
    }
    finishLocked(*t, t->status);
  }
  IofCompleteRequest(t->irp, IO_NO_INCREMENT);
}

void UsbBus::Impl::startFront(int portNumber, uintptr_t handle) {
  std::unique_lock lock(mutex);
  Port* port = portLocked(portNumber);
  if (!port || !port->present) return;
  Pipe* pipe = findPipe(*port, handle);
  if (!pipe || pipe->queue.empty()) {
    if (pipe) pipe->busy = false;
    return;
  }
  auto it = transfers.find(pipe->queue.front());
  if (it == transfers.end()) {
    pipe->busy = false;
    return;
  }
  Transfer& t = *it->second;
  if (t.decided) return;  // its completion is already scheduled
  pipe->waiting = false;
  if (t.hung) return;  // holds the pipe until cancelled or aborted

  const Ticks start = std::max(now(), bulkFreeAt);
  auto decide = [&](USBD_STATUS status, size_t movedNow) {
    t.decided = true;
    t.status = status;
    Ticks busy = movedNow || USBD_SUCCESS(status) ? usb_timing::bulkDuration(movedNow) : 0;
    if (busy) {
      stats.bulkFrames += usb_timing::bulkFrames(movedNow);
      stats.busyTime += busy;
      stats.bulkBusyTime += busy;
      bulkFreeAt = start + busy;
    }
    Ticks extra = t.fault && t.fault->action == FaultAction::Slow ? t.fault->extraDelay : 0;
    scheduleCompletionLocked(t, start + busy + extra);
  };

  if (pipe->halted) return decide(USBD_STATUS_ENDPOINT_HALTED, 0);
  if (t.fault && t.fault->action == FaultAction::Stall) {
    pipe->halted = true;
    return decide(USBD_STATUS_STALL_PID, 0);
  }
  if (t.fault && t.fault->action == FaultAction::Error) {
    // A device error halts a bulk pipe until it is reset (USBD_HALTED).
    if (t.fault->usbdStatus != USBD_STATUS_DEVICE_GONE && t.fault->usbdStatus != USBD_STATUS_CANCELED)
      pipe->halted = true;
    return decide(t.fault->usbdStatus, 0);
  }

  // Move as much as the device takes now.
  size_t movedNow = 0;
  for (;;) {
    size_t remaining = t.length - t.moved;
    TransferResult r;
    if (t.in) {
      r = port->device->bulkIn(pipe->address, std::span<uint8_t>(t.staged.data() + t.moved, remaining));
    } else {
      r = port->device->bulkOut(pipe->address, std::span<const uint8_t>(t.buffer ? t.buffer + t.moved : nullptr,
                                                                        remaining));
    }
    if (r.handshake == Handshake::Stall) {
      pipe->halted = true;
      return decide(USBD_STATUS_STALL_PID, movedNow);
    }
    if (r.handshake == Handshake::Error) {
      pipe->halted = true;
      return decide(USBD_STATUS_DEV_NOT_RESPONDING, movedNow);
    }
    if (r.handshake == Handshake::Nak || (r.bytes == 0 && remaining > 0 && !t.in)) {
      // Nothing moves now: wait for the device to change (or poll it every frame if it changes by itself).
      if (movedNow) {
        stats.bulkFrames += usb_timing::bulkFrames(movedNow);
        stats.busyTime += usb_timing::bulkDuration(movedNow);
        stats.bulkBusyTime += usb_timing::bulkDuration(movedNow);
        bulkFreeAt = start + usb_timing::bulkDuration(movedNow);
      }
      pipe->busy = false;
      pipe->waiting = true;
      if (port->device->changesByItself()) {
        pipe->busy = true;
        pipe->waiting = false;
        schedule(now() + usb_timing::kFrame, [this, portNumber, handle] { startFront(portNumber, handle); });
      }
      return;
    }
    size_t n = std::min(r.bytes, remaining);
    t.moved += uint32_t(n);
    movedNow += n;
    (t.in ? stats.bulkBytesIn : stats.bulkBytesOut) += n;
    if (t.in) {
      bool shortPacket = n == 0 || (n % pipe->maxPacket) != 0;
      if (t.moved == t.length) return decide(USBD_STATUS_SUCCESS, movedNow);
      if (shortPacket) {
        // Without USBD_SHORT_TRANSFER_OK a short packet is an error that halts the endpoint until a reset
        // ("_URB_BULK_OR_INTERRUPT_TRANSFER").
        if (t.urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK)
          return decide(USBD_STATUS_SUCCESS, movedNow);
        pipe->halted = true;
        return decide(USBD_STATUS_ERROR_SHORT_TRANSFER, movedNow);
      }
    } else if (t.moved == t.length) {
      return decide(USBD_STATUS_SUCCESS, movedNow);
    }
  }
}

void UsbBus::Impl::onDeviceChange() {
  // Without a bulk transfer nothing waits; one submitted after this change tries the changed device itself.
  // Printers change their lines on every register write of a control transfer, and a timer for each would
  // wake the completion thread for nothing.
  if (bulkTransfers.load() == 0) return;
  if (retryScheduled.exchange(true)) return;
  schedule(kernel.clock().now(), [this] { retryWaiting(); });
}

void UsbBus::Impl::retryWaiting() {
  retryScheduled = false;
  std::lock_guard lock(mutex);
  for (auto& [n, port] : ports)
    for (auto& [h, pipe] : port->pipes)
      if (pipe.waiting && !pipe.busy) kickLocked(*port, pipe);
}

// ==================================================================== UsbBus

UsbBus::UsbBus(Kernel& kernel) : kernel_(kernel), impl_(std::make_unique<Impl>(*this, kernel)) {
  driver_ = kernel.io().createDriver("\\Driver\\usbhub");
  if (driver_) {
    driver_->MajorFunction[IRP_MJ_PNP] = &Impl::dispatchPnp;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &Impl::dispatchInternalControl;
    driver_->MajorFunction[IRP_MJ_POWER] = &Impl::dispatchPower;
  }
}

UsbBus::~UsbBus() {
  for (int port : ports()) unplug(port);
  *impl_->alive = false;
  {
    std::unique_lock lock(impl_->gate->mutex);
    impl_->gate->open = false;
  }
  impl_->completeAllEnded();
  std::vector<_DEVICE_OBJECT*> leftovers;
  {
    std::lock_guard lock(impl_->mutex);
    for (auto& [n, port] : impl_->ports)
      if (port->pdo) leftovers.push_back(port->pdo);
    impl_->ports.clear();
  }
  for (auto* pdo : leftovers) IoDeleteDevice(pdo);
  // PDOs still kept by references (a function driver's device with open handles) stop pointing at us.
  for (auto* pdo : impl_->createdPdos) {
    if (kernel_.io().isLive(pdo) && pdo->DriverObject == driver_)
      static_cast<PdoExtension*>(pdo->DeviceExtension)->bus = nullptr;
  }
}

int UsbBus::plug(std::shared_ptr<UsbDevice> device, PortOptions options) {
  if (!device || !driver_) return 0;
  auto port = std::make_shared<Impl::Port>();
  {
    std::lock_guard lock(impl_->mutex);
    int number = 1;
    while (impl_->ports.count(number)) ++number;
    if (number > 127) return 0;
    port->number = number;
    port->address = uint8_t(number + 1);  // address 1 is the root hub's
    port->device = device;
    port->options = std::move(options);
  }
  // Enumeration as the hub does it (not part of the traffic log): address, device and configuration
  // descriptors.
  std::vector<uint8_t> none;
  if (device->control({0x00, USB_REQUEST_SET_ADDRESS, port->address, 0, 0}, std::span<uint8_t>(none)).handshake !=
      Handshake::Ack)
    return 0;
  std::vector<uint8_t> dd(18);
  auto r = device->control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18},
                           std::span<uint8_t>(dd));
  if (r.handshake != Handshake::Ack || r.bytes < 18) return 0;
  port->deviceDescriptor = dd;
  std::vector<uint8_t> head(9);
  r = device->control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, 9},
                      std::span<uint8_t>(head));
  if (r.handshake == Handshake::Ack && r.bytes >= 9) {
    uint16_t total = uint16_t(head[2] | head[3] << 8);
    std::vector<uint8_t> cd(total);
    r = device->control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, total},
                        std::span<uint8_t>(cd));
    if (r.handshake == Handshake::Ack) {
      cd.resize(std::min<size_t>(r.bytes, total));
      port->configDescriptor = cd;
    }
  }

  PDEVICE_OBJECT pdo = nullptr;
  if (IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                     FALSE, &pdo) != STATUS_SUCCESS || !pdo)
    return 0;
  auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
  ext->magic = kPdoMagic;
  ext->bus = impl_.get();
  ext->port = port->number;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
  pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
  port->pdo = pdo;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->ports[port->number] = port;
    impl_->createdPdos.push_back(pdo);
  }
  Impl* impl = impl_.get();
  auto token = impl_->alive;
  device->setChangeListener([impl, token] {
    if (*token) impl->onDeviceChange();
  });
  kernel_.pnp().deviceArrived(pdo);
  return port->number;
}

int32_t UsbBus::unplug(int number) { return takeOut(number, Removal::Unplug); }

int32_t UsbBus::remove(int number) { return takeOut(number, Removal::Orderly); }

int32_t UsbBus::unplugWithSurpriseRemoval(int number) { return takeOut(number, Removal::NtSurpriseRemoval); }

int32_t UsbBus::takeOut(int number, Removal how) {
  std::shared_ptr<Impl::Port> port;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->ports.find(number);
    if (it == impl_->ports.end() || !it->second->present) return STATUS_NO_SUCH_DEVICE;
    port = it->second;
  }
  PDEVICE_OBJECT pdo = port->pdo;
  NTSTATUS status = STATUS_SUCCESS;
  if (how == Removal::Orderly && pdo && !port->pnpRemoved) {
    // The user asks Windows first; a refusal leaves the device where it is, working.
    status = kernel_.pnp().deviceRemoved(pdo, Removal::Orderly);
    if (!NT_SUCCESS(status)) return status;
  }
  std::vector<std::unique_ptr<Impl::Transfer>> done;
  {
    std::lock_guard lock(impl_->mutex);
    port->present = false;
    // What the host controller is carrying when the device leaves (the control transfer in flight, the front
    // transfer of each bulk pipe) meets no answer: its retries time out within the frame and it completes with
    // USBD_STATUS_DEV_NOT_RESPONDING, which halts its pipe. Transfers queued behind it stay queued until
    // their driver aborts the pipe ("_URB_HEADER", "USBD_STATUS"): the bus does not fail them for it.
    std::vector<uint64_t> active;
    for (auto& [id, t] : impl_->transfers) {
      if (t->port != number) continue;
      if (t->kind == Impl::Kind::Bulk) {
        Impl::Pipe* pipe = impl_->findPipe(*port, t->pipe);
        if (pipe == nullptr || pipe->queue.empty() || pipe->queue.front() != id) continue;
        pipe->halted = true;
      }
      active.push_back(id);
    }
    for (uint64_t id : active)
      if (auto t = impl_->claimLocked(id)) done.push_back(std::move(t));
    for (auto& t : done) impl_->finishLocked(*t, USBD_STATUS_DEV_NOT_RESPONDING);
  }
  Impl::complete(done);
  port->device->setChangeListener(nullptr);
  if (pdo && !port->pnpRemoved && how != Removal::Orderly) status = kernel_.pnp().deviceRemoved(pdo, how);
  // The remove request deletes the PDO of a device that has left; one that never got a remove (no devnode),
  // or got it while the device was still here, goes now.
  bool deleteNow = false;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->ports.find(number);
    if (it != impl_->ports.end() && it->second == port) {
      deleteNow = port->pdo != nullptr;
      pdo = port->pdo;
      port->pdo = nullptr;
      impl_->ports.erase(it);
    }
  }
  if (deleteNow) IoDeleteDevice(pdo);
  return status;
}

bool UsbBus::plugged(int number) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->ports.find(number);
  return it != impl_->ports.end() && it->second->present;
}

std::vector<int> UsbBus::ports() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<int> out;
  for (auto& [n, p] : impl_->ports)
    if (p->present) out.push_back(n);
  return out;
}

_DEVICE_OBJECT* UsbBus::pdo(int number) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->ports.find(number);
  return it == impl_->ports.end() ? nullptr : it->second->pdo;
}

std::shared_ptr<UsbDevice> UsbBus::device(int number) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->ports.find(number);
  return it == impl_->ports.end() ? nullptr : it->second->device;
}

void UsbBus::setSynchronousControl(int number, bool on) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->ports.find(number);
  if (it != impl_->ports.end()) it->second->options.synchronousControl = on;
}

uint8_t UsbBus::address(int number) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->ports.find(number);
  return it == impl_->ports.end() ? 0 : it->second->address;
}

BusStatistics UsbBus::statistics() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->stats;
}

void UsbBus::resetStatistics() {
  std::lock_guard lock(impl_->mutex);
  impl_->stats = {};
}

size_t UsbBus::pendingRequests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->transfers.size();
}

uint64_t UsbBus::nextRequestIndex() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->nextIndex;
}

}  // namespace w98
