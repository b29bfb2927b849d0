// A tiny bus driver (host side, like the USB stack) and a tiny function driver with one child device, for
// the Plug and Play tests. Every request they see is logged as "who:MINOR" so tests can check the order.
#pragma once

#include <ddk/wdm.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kernel/io_internal.h"
#include "kernel_fixture.h"
#include "test_driver.h"

namespace w98::test {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

inline std::vector<std::string>& pnpLog() {
  static std::vector<std::string> log;
  return log;
}
inline void logPnp(const std::string& who, PIRP irp) {
  auto sp = IoGetCurrentIrpStackLocation(irp);
  pnpLog().push_back(who + ":" + minorName(IRP_MJ_PNP, sp->MinorFunction));
}

// Copies `ids` into a NUL-separated, double-NUL-terminated wide buffer from paged pool.
inline PWSTR multiString(const std::vector<std::string>& ids, bool multi) {
  size_t units = 1;
  for (auto& id : ids) units += id.size() + 1;
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), kTestTag));
  size_t at = 0;
  for (auto& id : ids) {
    for (char c : id) buffer[at++] = static_cast<WCHAR>(c);
    buffer[at++] = 0;
    if (!multi) break;
  }
  while (at < units) buffer[at++] = 0;
  return buffer;
}

// Answers a QUERY_ID / QUERY_CAPABILITIES / START ... as a bus driver does for its PDO.
struct PdoIds {
  std::string deviceId = "USB\\VID_0F1B&PID_1002";
  std::vector<std::string> hardwareIds = {"USB\\VID_0F1B&PID_1002&REV_0100", "USB\\VID_0F1B&PID_1002"};
  std::vector<std::string> compatibleIds = {"USB\\CLASS_07&SUBCLASS_01", "USB\\CLASS_07"};
  std::string instanceId = "5&2A0B4C&0&1";
};

inline NTSTATUS answerAsPdo(const std::string& who, const PdoIds& ids, PDEVICE_OBJECT self, PIRP irp,
                            bool deleteOnRemove, NTSTATUS startStatus = STATUS_SUCCESS) {
  logPnp(who, irp);
  auto sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      PWSTR answer = nullptr;
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: answer = multiString({ids.deviceId}, false); break;
        case BusQueryHardwareIDs: answer = multiString(ids.hardwareIds, true); break;
        case BusQueryCompatibleIDs: answer = multiString(ids.compatibleIds, true); break;
        case BusQueryInstanceID: answer = multiString({ids.instanceId}, false); break;
        default: break;
      }
      if (answer != nullptr) {
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
        status = STATUS_SUCCESS;
      }
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
      sp->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
      sp->Parameters.DeviceCapabilities.Capabilities->RawDeviceOK = 1;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_START_DEVICE:
      status = startStatus;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      irp->IoStatus.Status = status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      if (deleteOnRemove) IoDeleteDevice(self);
      return status;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The bus: PDOs whose behaviour is the PdoIds above.
class TestBus {
 public:
  explicit TestBus(Kernel& kernel) : driver_(kernel, "\\Driver\\testbus") {}
  PDEVICE_OBJECT plug(PdoIds ids = {}, NTSTATUS startStatus = STATUS_SUCCESS) {
    Device& pdo = driver_.create();
    auto shared = std::make_shared<PdoIds>(std::move(ids));
    pdo.handlers[IRP_MJ_PNP] = [shared, startStatus](PDEVICE_OBJECT self, PIRP irp) {
      return answerAsPdo("pdo", *shared, self, irp, true, startStatus);
    };
    pdo.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
      return Device::complete(irp, STATUS_SUCCESS);
    };
    return pdo.object;
  }

 private:
  TestDriver driver_;
};

// The function driver "testfn": one FDO per PDO, reporting one raw child once it has started.
struct FnDriverState {
  int resets = 0;
  int entries = 0;
  int unloads = 0;
  int adds = 0;
  bool failAdd = false;
  bool refuseQueryStop = false;
  bool refuseChildQueryRemove = false;
  bool reportChild = true;
  bool openHandlesLinger = true;  // removal with open handles leaves the deleted FDO to its last close
  // Faults of the kind the platform must catch:
  bool referenceChild = true;      // ObReferenceObject on the child reported in bus relations
  bool childOnEveryQuery = false;  // a new child for every bus-relations query
  bool deleteBeforeDetach = false; // IoDeleteDevice of the FDO while it is still attached
  NTSTATUS removeStatus = STATUS_SUCCESS;
  std::function<void(PDEVICE_OBJECT pdo)> onAdd;
  // Runs first for every request to the FDO; a value it returns ends the request (already completed).
  std::function<std::optional<NTSTATUS>(PDEVICE_OBJECT fdo, PIRP irp)> fdoHook;
};
inline FnDriverState& fn() {
  static FnDriverState state;
  return state;
}

struct FnExtension {
  bool isFdo;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT child;
  bool childReported;
};

inline void FnResetImage() {
  ++fn().resets;
  pnpLog().push_back("reset image");
}

inline NTSTATUS FnForwardAndWait(FnExtension* ext, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEventAndKeepRequest, &event, TRUE, TRUE, TRUE);
  NTSTATUS s = IofCallDriver(ext->lower, irp);
  if (s == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

inline NTSTATUS FnComplete(PIRP irp, NTSTATUS s) {
  irp->IoStatus.Status = s;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return s;
}

inline NTSTATUS FnChildPnp(FnExtension* ext, PIRP irp) {
  auto sp = IoGetCurrentIrpStackLocation(irp);
  logPnp("child", irp);
  static const PdoIds childIds{"LPTENUM\\AcmeJet 1002888", {"AcmeJet 1002888"}, {}, "AcmeJet 1002888KVUSB1"};
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
      if (sp->Parameters.QueryId.IdType == BusQueryCompatibleIDs) return FnComplete(irp, irp->IoStatus.Status);
      [[fallthrough]];
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_START_DEVICE: {
      pnpLog().pop_back();  // answerAsPdo logs it again
      return answerAsPdo("child", childIds, ext->self, irp, false);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return FnComplete(irp, fn().refuseChildQueryRemove ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return FnComplete(irp, STATUS_SUCCESS);  // the child stays until its parent goes
    default:
      return FnComplete(irp, irp->IoStatus.Status);
  }
}

inline NTSTATUS FnPnp(PDEVICE_OBJECT d, PIRP irp) {
  auto* ext = static_cast<FnExtension*>(d->DeviceExtension);
  if (!ext->isFdo) return FnChildPnp(ext, irp);
  auto sp = IoGetCurrentIrpStackLocation(irp);
  logPnp("fdo", irp);
  if (fn().fdoHook) {
    if (auto done = fn().fdoHook(d, irp)) return *done;
  }
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS s = FnForwardAndWait(ext, irp);
      if (NT_SUCCESS(s) && fn().reportChild) IoInvalidateDeviceRelations(ext->pdo, BusRelations);
      pnpLog().push_back("fdo:start done");
      return FnComplete(irp, s);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      if (ext->childReported && !fn().childOnEveryQuery) break;
      PDEVICE_OBJECT child = nullptr;
      if (!NT_SUCCESS(IoCreateDevice(d->DriverObject, sizeof(FnExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &child)))
        return FnComplete(irp, STATUS_INSUFFICIENT_RESOURCES);
      auto* cext = static_cast<FnExtension*>(child->DeviceExtension);
      cext->isFdo = false;
      cext->self = child;
      child->Flags &= ~DO_DEVICE_INITIALIZING;
      auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTestTag));
      relations->Count = 1;
      relations->Objects[0] = child;
      if (fn().referenceChild) ObfReferenceObject(child);
      ext->child = child;
      ext->childReported = true;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      return FnComplete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
      if (fn().refuseQueryStop) return FnComplete(irp, STATUS_UNSUCCESSFUL);
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // The reference taken for the relations belongs to the Plug and Play manager now.
      if (ext->child != nullptr) {
        IoDeleteDevice(ext->child);
        ext->child = nullptr;
      }
      PDEVICE_OBJECT lower = ext->lower;
      if (fn().removeStatus != STATUS_SUCCESS) {
        IoDetachDevice(lower);
        IoDeleteDevice(d);
        return FnComplete(irp, fn().removeStatus);
      }
      if (fn().deleteBeforeDetach) IoDeleteDevice(d);
      IoDetachDevice(lower);
      if (d->ReferenceCount > 0 && fn().openHandlesLinger) {
        d->DeviceExtension = nullptr;
        return FnComplete(irp, STATUS_SUCCESS);
      }
      if (!fn().deleteBeforeDetach) IoDeleteDevice(d);
      IoSkipCurrentIrpStackLocation(irp);
      return IofCallDriver(lower, irp);
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(ext->lower, irp);
}

inline NTSTATUS FnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  ++fn().adds;
  pnpLog().push_back("AddDevice");
  if (fn().failAdd) return STATUS_INSUFFICIENT_RESOURCES;
  if (fn().onAdd) fn().onAdd(pdo);
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS s = IoCreateDevice(driver, sizeof(FnExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(s)) return s;
  auto* ext = static_cast<FnExtension*>(fdo->DeviceExtension);
  ext->isFdo = true;
  ext->self = fdo;
  ext->pdo = pdo;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  return STATUS_SUCCESS;
}

inline VOID FnUnload(PDRIVER_OBJECT) {
  ++fn().unloads;
  pnpLog().push_back("Unload");
}

inline NTSTATUS FnDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  ++fn().entries;
  pnpLog().push_back("DriverEntry");
  driver->MajorFunction[IRP_MJ_PNP] = FnPnp;
  driver->DriverExtension->AddDevice = FnAddDevice;
  driver->DriverUnload = FnUnload;
  return STATUS_SUCCESS;
}

class PnpTestBase : public KernelTest {
 protected:
  PnpTestBase() {
    fn() = FnDriverState{};
    pnpLog().clear();
    DriverRegistration reg;
    reg.hardwareId = "USB\\VID_0F1B&PID_1002";
    reg.entry = FnDriverEntry;
    reg.resetImage = FnResetImage;
    reg.service = "testfn";
    reg.poolTag = kTestTag;
    kernel->pnp().registerDriver(reg);
    bus = std::make_unique<TestBus>(*kernel);
  }
  ~PnpTestBase() override {
    bus.reset();
  }
  std::unique_ptr<TestBus> bus;
};

}  // namespace w98::test
