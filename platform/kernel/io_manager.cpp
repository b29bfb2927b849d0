// The I/O manager: driver and device objects, the object namespace, requests and their completion.
#include "kernel/io_manager.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "kernel/io_internal.h"
#include "kernel/irql.h"

namespace w98 {

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevobjExtension = 13;
constexpr ULONG kTagDevice = 0x69766544;  // "Devi"
constexpr ULONG kTagIrp = 0x20707249;     // "Irp "
constexpr ULONG kTagMdl = 0x206C644D;     // "Mdl "

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::string normalizeObjectName(std::string name) {
  // "\??\X" is the same directory as "\DosDevices\X".
  if (name.rfind("\\??\\", 0) == 0) name = "\\DosDevices\\" + name.substr(4);
  return name;
}

size_t alignUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

}  // namespace

std::string majorName(UCHAR major) {
  static const char* names[] = {"IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ",
                                "IRP_MJ_WRITE", "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION",
                                "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA", "IRP_MJ_FLUSH_BUFFERS",
                                "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
                                "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
                                "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL",
                                "IRP_MJ_CLEANUP", "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY",
                                "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER", "IRP_MJ_SYSTEM_CONTROL",
                                "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  if (major < sizeof(names) / sizeof(names[0])) return names[major];
  return "IRP_MJ_" + std::to_string(major);
}

std::string minorName(UCHAR major, UCHAR minor) {
  if (major != IRP_MJ_PNP && major != IRP_MJ_DEVICE_CHANGE) return std::to_string(minor);
  static const char* names[] = {"IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
                                "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
                                "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS",
                                "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES",
                                "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
                                "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "0x0E", "IRP_MN_READ_CONFIG",
                                "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID",
                                "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
                                "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL",
                                "IRP_MN_QUERY_LEGACY_BUS_INFORMATION"};
  if (minor < sizeof(names) / sizeof(names[0])) return names[minor];
  return std::to_string(minor);
}

// ------------------------------------------------------------------------------------------ Impl helpers

DeviceRecord* IoManager::Impl::device(const DEVICE_OBJECT* d) {
  auto it = devices.find(const_cast<DEVICE_OBJECT*>(d));
  return it == devices.end() ? nullptr : it->second.get();
}

IrpRecord* IoManager::Impl::irp(const IRP* i) {
  auto it = irps.find(const_cast<IRP*>(i));
  return it == irps.end() ? nullptr : it->second.get();
}

DEVICE_OBJECT* IoManager::Impl::resolveUserPath(std::string_view path, std::string* rest, NtStatus* status) {
  auto fail = [&](NTSTATUS s) -> _DEVICE_OBJECT* {
    if (status != nullptr) *status = s;
    return nullptr;
  };
  if (rest != nullptr) rest->clear();
  std::string p(path);
  if (p.rfind("\\\\.\\", 0) != 0 || p.size() <= 4) return fail(STATUS_OBJECT_NAME_INVALID);
  p = p.substr(4);
  std::string name = p, remainder;
  if (auto slash = p.find('\\'); slash != std::string::npos) {
    name = p.substr(0, slash);
    remainder = p.substr(slash);
  }
  if (name.empty()) return fail(STATUS_OBJECT_NAME_INVALID);
  auto link = links.find(upper("\\DosDevices\\" + name));
  if (link == links.end()) return fail(STATUS_OBJECT_NAME_NOT_FOUND);
  std::string target = link->second.second;
  // The link may name a device followed by a path of its own.
  std::string targetUpper = upper(target);
  DEVICE_OBJECT* device = nullptr;
  std::string extra;
  for (auto it = names.begin(); it != names.end(); ++it) {
    if (targetUpper == it->first ||
        (targetUpper.rfind(it->first, 0) == 0 && targetUpper.size() > it->first.size() &&
         targetUpper[it->first.size()] == '\\')) {
      device = it->second;
      extra = target.substr(it->first.size());
      break;
    }
  }
  if (device == nullptr) return fail(STATUS_OBJECT_NAME_NOT_FOUND);
  if (rest != nullptr) *rest = extra + remainder;
  if (status != nullptr) *status = STATUS_SUCCESS;
  return device;
}

void IoManager::Impl::maybeFreeDevice(DEVICE_OBJECT* d) {
  DeviceRecord* r = device(d);
  if (r == nullptr || !r->deleted || r->references > 0 || d->ReferenceCount > 0 || d->AttachedDevice != nullptr)
    return;
  DEVICE_OBJECT* lower = r->lower;
  if (lower != nullptr && device(lower) != nullptr && lower->AttachedDevice == d) lower->AttachedDevice = nullptr;
  void* memory = r->memory;
  devices.erase(d);
  K().pool().free(memory);
  // The device below may have been waiting for this one to go.
  if (lower != nullptr) maybeFreeDevice(lower);
}

void IoManager::Impl::releaseIrp(IrpRecord* r) {
  if (r->holds > 0 || !r->freeRequested) return;
  IRP* i = r->irp;
  if (r->ownedMdl != nullptr) {
    mdls.erase(r->ownedMdl);
    K().pool().free(r->ownedMdl);
  }
  void* pool = r->poolMemory;
  irps.erase(i);  // frees heap memory of owned requests
  if (pool != nullptr) K().pool().free(pool);
}

IRP* IoManager::Impl::newIrp(CCHAR stackSize, IrpOrigin origin, bool fromPool) {
  size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  auto record = std::make_unique<IrpRecord>();
  void* memory;
  if (fromPool) {
    memory = K().pool().allocate(PoolKind::NonPaged, size, kTagIrp);
    if (memory == nullptr) return nullptr;
    record->poolMemory = memory;
  } else {
    record->heap = std::make_unique<std::max_align_t[]>(alignUp(size, sizeof(std::max_align_t)) /
                                                        sizeof(std::max_align_t));
    memory = record->heap.get();
  }
  IRP* i = static_cast<IRP*>(memory);
  IoInitializeIrp(i, static_cast<USHORT>(size), stackSize);
  record->irp = i;
  record->origin = origin;
  record->serial = nextIrpSerial++;
  record->locations.assign(static_cast<size_t>(stackSize) + 2, 0);
  irps[i] = std::move(record);
  return i;
}

// ------------------------------------------------------------------------------------------ IoManager

IoManager::IoManager(Kernel& kernel) : kernel_(kernel), impl_(std::make_unique<Impl>()) {}

IoManager::~IoManager() { teardown(); }

_DRIVER_OBJECT* IoManager::createDriver(std::string_view name, DriverEntryFn entry, std::string_view registryPath,
                                        NtStatus* status) {
  auto record = std::make_unique<DriverRecord>();
  record->object = std::make_unique<DRIVER_OBJECT>();
  DRIVER_OBJECT* d = record->object.get();
  std::memset(d, 0, sizeof *d);
  d->Type = kIoTypeDriver;
  d->Size = sizeof(DRIVER_OBJECT);
  d->DriverExtension = &record->extension;
  record->extension.DriverObject = d;
  record->name = std::string(name);
  record->nameBuffer.assign(name.begin(), name.end());
  d->DriverName.Buffer = record->nameBuffer.data();
  d->DriverName.Length = static_cast<USHORT>(record->nameBuffer.size() * sizeof(WCHAR));
  d->DriverName.MaximumLength = d->DriverName.Length;
  for (auto& f : d->MajorFunction) f = InvalidDeviceRequest;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->drivers[d] = std::move(record);
  }
  if (status != nullptr) *status = STATUS_SUCCESS;
  if (entry != nullptr) {
    std::u16string path(registryPath.begin(), registryPath.end());
    UNICODE_STRING u;
    u.Buffer = path.data();
    u.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    u.MaximumLength = u.Length;
    d->DriverInit = entry;
    NTSTATUS s;
    {
      IrqlScope passive(PASSIVE_LEVEL);
      s = entry(d, &u);
      if (currentIrql() != PASSIVE_LEVEL)
        kernel_.verifier().report(Fault::IrqlNotRestored, "DriverEntry of " + std::string(name) +
                                                              " returned at IRQL " + std::to_string(currentIrql()));
    }
    if (status != nullptr) *status = s;
    if (!NT_SUCCESS(s)) {
      deleteDriver(d);
      return nullptr;
    }
  }
  return d;
}

void IoManager::deleteDriver(_DRIVER_OBJECT* driver) {
  std::lock_guard lock(impl_->mutex);
  impl_->drivers.erase(driver);
}

std::string IoManager::driverName(const _DRIVER_OBJECT* driver) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->drivers.find(const_cast<DRIVER_OBJECT*>(driver));
  return it == impl_->drivers.end() ? std::string() : it->second->name;
}

_DEVICE_OBJECT* IoManager::findDevice(std::string_view kernelName) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->names.find(upper(normalizeObjectName(std::string(kernelName))));
  return it == impl_->names.end() ? nullptr : it->second;
}

std::optional<std::string> IoManager::deviceName(const _DEVICE_OBJECT* device) const {
  std::lock_guard lock(impl_->mutex);
  DeviceRecord* r = impl_->device(device);
  if (r == nullptr || r->name.empty()) return std::nullopt;
  return r->name;
}

std::optional<std::string> IoManager::symbolicLinkTarget(std::string_view link) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->links.find(upper(normalizeObjectName(std::string(link))));
  if (it == impl_->links.end()) return std::nullopt;
  return it->second.second;
}

std::vector<std::pair<std::string, std::string>> IoManager::symbolicLinks() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [key, link] : impl_->links) out.push_back(link);
  return out;
}

std::vector<std::string> IoManager::deviceNames() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> out;
  for (const auto& [key, d] : impl_->names) out.push_back(impl_->device(d)->name);
  return out;
}

_DEVICE_OBJECT* IoManager::resolveUserPath(std::string_view path, std::string* rest, NtStatus* status) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->resolveUserPath(path, rest, status);
}

_DEVICE_OBJECT* IoManager::referenceForOpen(std::string_view path, std::string* rest, NtStatus* status) {
  // One step under the database lock, as the object manager's parse does: a removal that deletes the
  // device either comes first (the open fails) or sees the reference (the device object stays).
  std::lock_guard lock(impl_->mutex);
  DEVICE_OBJECT* device = impl_->resolveUserPath(path, rest, status);
  if (device == nullptr) return nullptr;
  DeviceRecord* r = impl_->device(device);
  NTSTATUS refused = STATUS_SUCCESS;
  if (r == nullptr || r->deleted || (device->Flags & DO_DEVICE_INITIALIZING)) {
    refused = STATUS_NO_SUCH_DEVICE;
  } else if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
    refused = STATUS_ACCESS_DENIED;
  }
  if (refused != STATUS_SUCCESS) {
    if (status != nullptr) *status = refused;
    return nullptr;
  }
  InterlockedIncrement(&device->ReferenceCount);
  return device;
}

bool IoManager::isLive(const _DEVICE_OBJECT* device) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->device(device) != nullptr;
}

bool IoManager::isDeleted(const _DEVICE_OBJECT* device) const {
  std::lock_guard lock(impl_->mutex);
  DeviceRecord* r = impl_->device(device);
  return r != nullptr && r->deleted;
}

size_t IoManager::liveDevices() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->devices.size();
}

size_t IoManager::devicesOf(const _DRIVER_OBJECT* driver) const {
  std::lock_guard lock(impl_->mutex);
  size_t n = 0;
  for (const auto& [d, r] : impl_->devices) n += d->DriverObject == driver;
  return n;
}

_DEVICE_OBJECT* IoManager::topOfStack(_DEVICE_OBJECT* device) const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->device(device) == nullptr) return nullptr;
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

_DEVICE_OBJECT* IoManager::lowerDevice(const _DEVICE_OBJECT* device) const {
  std::lock_guard lock(impl_->mutex);
  DeviceRecord* r = impl_->device(device);
  return r == nullptr ? nullptr : r->lower;
}

void IoManager::addHandleReference(_DEVICE_OBJECT* device) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->device(device) != nullptr) InterlockedIncrement(&device->ReferenceCount);
}

void IoManager::refuseAttachments(int count) {
  std::lock_guard lock(impl_->mutex);
  impl_->refusedAttachments = count;
}

void IoManager::releaseHandleReference(_DEVICE_OBJECT* device) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->device(device) == nullptr) return;
  if (InterlockedDecrement(&device->ReferenceCount) < 0) {
    device->ReferenceCount = 0;
    kernel_.verifier().report(Fault::BadObject, "handle reference count of " + pointerText(device) + " below zero");
  }
  impl_->maybeFreeDevice(device);
}

_IRP* IoManager::allocateOwnedIrp(_DEVICE_OBJECT* device, std::function<void(_IRP*)> onDone) {
  std::lock_guard lock(impl_->mutex);
  CCHAR size = impl_->device(device) != nullptr ? device->StackSize : 1;
  IRP* i = impl_->newIrp(size, IrpOrigin::Owned, false);
  impl_->irp(i)->onDone = std::move(onDone);
  return i;
}

size_t IoManager::outstandingRequests() const {
  std::lock_guard lock(impl_->mutex);
  size_t n = 0;
  for (const auto& [i, r] : impl_->irps) n += !r->finished && !r->freeRequested;
  return n;
}

std::vector<std::string> IoManager::outstandingRequestReport() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> out;
  for (const auto& [i, r] : impl_->irps) {
    if (r->finished || r->freeRequested) continue;
    std::ostringstream line;
    line << "request #" << r->serial << " ("
         << (r->origin == IrpOrigin::Driver ? "IoAllocateIrp" : r->origin == IrpOrigin::Built ? "IoBuildDeviceIoControlRequest" : "I/O manager")
         << ")";
    if (i->CurrentLocation <= i->StackCount) {
      IO_STACK_LOCATION* sp = i->Tail.Overlay.CurrentStackLocation;
      line << " " << majorName(sp->MajorFunction);
      if (sp->MajorFunction == IRP_MJ_PNP) line << "/" << minorName(sp->MajorFunction, sp->MinorFunction);
      DeviceRecord* d = impl_->device(sp->DeviceObject);
      line << " held by device " << pointerText(sp->DeviceObject);
      if (d != nullptr && !d->name.empty()) line << " (" << d->name << ")";
      if (i->CancelRoutine != nullptr) line << ", cancelable";
    } else if (r->firstMajor) {
      line << " " << majorName(*r->firstMajor) << " to device " << pointerText(r->firstTarget) << ", not sent";
    } else {
      line << ", not sent to any driver";
    }
    out.push_back(line.str());
  }
  return out;
}

bool IoManager::checkRequestLeaks(std::string_view context) {
  auto report = outstandingRequestReport();
  if (report.empty()) return true;
  std::string text = std::to_string(report.size()) + " request(s) never completed " + std::string(context) + ":";
  for (const auto& l : report) text += "\n  - " + l;
  kernel_.verifier().report(Fault::RequestLeak, text);
  return false;
}

void IoManager::teardown() {
  std::lock_guard lock(impl_->mutex);
  std::vector<void*> blocks;
  for (auto& [i, r] : impl_->irps) {
    if (r->poolMemory != nullptr) blocks.push_back(r->poolMemory);
  }
  for (auto& [mdl, unused] : impl_->mdls) blocks.push_back(mdl);
  for (auto& [d, r] : impl_->devices) blocks.push_back(r->memory);
  impl_->irps.clear();
  impl_->devices.clear();
  impl_->names.clear();
  impl_->links.clear();
  impl_->drivers.clear();
  impl_->mdls.clear();
  for (void* b : blocks) {
    if (kernel_.pool().owns(b)) kernel_.pool().free(b);
  }
}

}  // namespace w98

// ============================================================================================ WDM calls

using namespace w98;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  Kernel& k = K();
  requireIrql("IoCreateDevice", PASSIVE_LEVEL);
  if (DeviceObject == nullptr) {
    k.verifier().report(Fault::BadCall, "IoCreateDevice without a place for the device object");
    return STATUS_INVALID_PARAMETER;
  }
  *DeviceObject = nullptr;
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  if (impl.drivers.find(DriverObject) == impl.drivers.end()) {
    k.verifier().report(Fault::BadObject, "IoCreateDevice with unknown driver object " + pointerText(DriverObject));
    return STATUS_INVALID_PARAMETER;
  }
  std::string name;
  if (DeviceName != nullptr && DeviceName->Buffer != nullptr && DeviceName->Length > 0) {
    name = normalizeObjectName(narrow(DeviceName));
    if (name.empty() || name[0] != '\\' || name.back() == '\\') return STATUS_OBJECT_NAME_INVALID;
    if (impl.names.count(upper(name)) != 0 || impl.links.count(upper(name)) != 0)
      return STATUS_OBJECT_NAME_COLLISION;
  }
  size_t extensionOffset = alignUp(sizeof(DEVICE_OBJECT), 16);
  size_t total = extensionOffset + DeviceExtensionSize;
  void* memory = k.pool().allocate(PoolKind::NonPaged, total, kTagDevice);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(memory, 0, total);
  auto record = std::make_unique<DeviceRecord>();
  auto* d = static_cast<DEVICE_OBJECT*>(memory);
  record->memory = memory;
  record->object = d;
  record->name = name;
  record->objectExtension.Type = kIoTypeDevobjExtension;
  record->objectExtension.Size = sizeof(DEVOBJ_EXTENSION);
  record->objectExtension.DeviceObject = d;
  d->Type = kIoTypeDevice;
  d->Size = static_cast<USHORT>(std::min<size_t>(total, 0xFFFF));
  d->DriverObject = DriverObject;
  d->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  d->Characteristics = DeviceCharacteristics;
  d->DeviceExtension = DeviceExtensionSize > 0 ? static_cast<char*>(memory) + extensionOffset : nullptr;
  d->DeviceType = DeviceType;
  d->StackSize = 1;
  d->DeviceObjectExtension = &record->objectExtension;
  InitializeListHead(&d->Queue.ListEntry);
  d->DeviceLock.Header.Type = SynchronizationEvent;
  d->DeviceLock.Header.SignalState = 1;
  InitializeListHead(&d->DeviceLock.Header.WaitListHead);
  // New devices go to the head of the driver's list, as on Windows.
  d->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = d;
  if (!name.empty()) impl.names[upper(name)] = d;
  impl.devices[d] = std::move(record);
  *DeviceObject = d;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  Kernel& k = K();
  requireIrql("IoDeleteDevice", PASSIVE_LEVEL);
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  DeviceRecord* r = impl.device(DeviceObject);
  if (r == nullptr || r->deleted) {
    k.verifier().report(Fault::BadObject, std::string("IoDeleteDevice of ") +
                                              (r == nullptr ? "an unknown device object " : "an already deleted device object ") +
                                              pointerText(DeviceObject));
    return;
  }
  // "IoDeleteDevice": a driver detaches its device from the stack (IoDetachDevice) before deleting it.
  if (r->lower != nullptr) {
    k.verifier().report(Fault::BadObject, "IoDeleteDevice of device object " + pointerText(DeviceObject) +
                                              ", which is still attached to " + pointerText(r->lower) +
                                              " (IoDetachDevice first)");
  }
  r->deleted = true;
  if (!r->name.empty()) impl.names.erase(upper(r->name));
  // Unlink from the driver's list.
  DRIVER_OBJECT* driver = DeviceObject->DriverObject;
  if (driver != nullptr && impl.drivers.count(driver) != 0) {
    PDEVICE_OBJECT* link = &driver->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link == DeviceObject) *link = DeviceObject->NextDevice;
  }
  DeviceObject->NextDevice = nullptr;
  impl.maybeFreeDevice(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  Kernel& k = K();
  requireIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  DeviceRecord* source = impl.device(SourceDevice);
  DeviceRecord* target = impl.device(TargetDevice);
  if (source == nullptr || target == nullptr) {
    k.verifier().report(Fault::BadObject, "IoAttachDeviceToDeviceStack with an unknown device object");
    return nullptr;
  }
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  if (impl.device(top)->deleted) return nullptr;  // a stack being torn down takes no new devices
  if (impl.refusedAttachments > 0) {
    impl.refusedAttachments -= 1;
    return nullptr;
  }
  if (source->lower != nullptr) {
    k.verifier().report(Fault::BadObject, "IoAttachDeviceToDeviceStack: device " + pointerText(SourceDevice) +
                                              " is already attached");
    return nullptr;
  }
  top->AttachedDevice = SourceDevice;
  source->lower = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  Kernel& k = K();
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  DeviceRecord* target = impl.device(TargetDevice);
  if (target == nullptr || TargetDevice->AttachedDevice == nullptr) {
    k.verifier().report(Fault::BadObject, "IoDetachDevice of " + pointerText(TargetDevice) +
                                              ", which has nothing attached");
    return;
  }
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  TargetDevice->AttachedDevice = nullptr;
  if (DeviceRecord* a = impl.device(above)) {
    a->lower = nullptr;
    impl.maybeFreeDevice(above);
  }
  impl.maybeFreeDevice(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) { return K().io().topOfStack(DeviceObject); }

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = K().io().topOfStack(DeviceObject);
  if (top != nullptr) ObfReferenceObject(top);
  return top;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  Kernel& k = K();
  requireIrql("IoCreateSymbolicLink", PASSIVE_LEVEL);
  if (SymbolicLinkName == nullptr || DeviceName == nullptr) return STATUS_INVALID_PARAMETER;
  std::string link = normalizeObjectName(narrow(SymbolicLinkName));
  std::string target = normalizeObjectName(narrow(DeviceName));
  if (link.empty() || link[0] != '\\' || link.back() == '\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  std::string key = upper(link);
  if (impl.links.count(key) != 0 || impl.names.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  impl.links[key] = {link, target};
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  Kernel& k = K();
  requireIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
  if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  return impl.links.erase(upper(normalizeObjectName(narrow(SymbolicLinkName)))) != 0 ? STATUS_SUCCESS
                                                                                      : STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID FASTCALL ObfReferenceObject(PVOID Object) {
  Kernel& k = K();
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  if (DeviceRecord* r = impl.device(static_cast<DEVICE_OBJECT*>(Object))) {
    ++r->references;
    return;
  }
  if (impl.drivers.count(static_cast<DRIVER_OBJECT*>(Object)) != 0) return;
  k.verifier().report(Fault::BadObject, "ObReferenceObject of unknown object " + pointerText(Object));
}

VOID FASTCALL ObfDereferenceObject(PVOID Object) {
  Kernel& k = K();
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  auto* d = static_cast<DEVICE_OBJECT*>(Object);
  if (DeviceRecord* r = impl.device(d)) {
    if (r->references <= 0) {
      k.verifier().report(Fault::BadObject, "ObDereferenceObject of device " + pointerText(Object) +
                                                " that holds no reference");
      return;
    }
    --r->references;
    impl.maybeFreeDevice(d);
    return;
  }
  if (impl.drivers.count(static_cast<DRIVER_OBJECT*>(Object)) != 0) return;
  k.verifier().report(Fault::BadObject, "ObDereferenceObject of unknown object " + pointerText(Object));
}

// ------------------------------------------------------------------------------------------ requests

USHORT IoSizeOfIrp(CCHAR StackSize) {
  return static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  std::memset(Irp, 0, PacketSize);
  Irp->Type = kIoTypeIrp;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  Irp->ApcEnvironment = 0;
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  Kernel& k = K();
  requireIrql("IoAllocateIrp", DISPATCH_LEVEL);
  if (StackSize < 1) {
    k.verifier().report(Fault::BadCall, "IoAllocateIrp with stack size " + std::to_string(StackSize));
    return nullptr;
  }
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  return impl.newIrp(StackSize, IrpOrigin::Driver, true);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  Kernel& k = K();
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  IrpRecord* r = impl.irp(Irp);
  if (r == nullptr || r->freeRequested) {
    k.verifier().report(Fault::BadRequest, "IoReuseIrp of unknown request " + pointerText(Irp));
    return;
  }
  UCHAR flags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = flags;
  Irp->IoStatus.Status = Status;
  r->finished = false;
  std::fill(r->locations.begin(), r->locations.end(), 0);
}

VOID IoFreeIrp(PIRP Irp) {
  Kernel& k = K();
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  IrpRecord* r = impl.irp(Irp);
  if (r == nullptr || r->freeRequested) {
    k.verifier().report(Fault::BadRequest, "IoFreeIrp of unknown or already freed request " + pointerText(Irp));
    return;
  }
  if (r->origin != IrpOrigin::Driver) {
    k.verifier().report(Fault::BadRequest, "IoFreeIrp of request " + pointerText(Irp) +
                                               ", which belongs to the I/O manager");
    return;
  }
  // Still held by a driver below: its completion is yet to come, and would find the request gone.
  if (Irp->CurrentLocation <= Irp->StackCount) {
    k.verifier().report(Fault::BadRequest, "IoFreeIrp of request " + pointerText(Irp) +
                                               ", which a driver still holds (its completion has not come back)");
    return;
  }
  r->freeRequested = true;
  r->finished = true;
  impl.releaseIrp(r);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Kernel& k = K();
  requireIrql("IofCallDriver", DISPATCH_LEVEL);
  auto& impl = k.io().impl();
  PDRIVER_DISPATCH routine;
  PIO_STACK_LOCATION sp;
  uint64_t callsBefore;
  size_t location = 0;
  {
    std::lock_guard lock(impl.mutex);
    IrpRecord* r = impl.irp(Irp);
    if (r == nullptr || r->freeRequested || r->finished) {
      k.verifier().report(Fault::BadRequest, "IofCallDriver with a request that is not outstanding " +
                                                 pointerText(Irp) + " (already completed or freed?)");
      return STATUS_INVALID_PARAMETER;
    }
    DeviceRecord* d = impl.device(DeviceObject);
    if (d == nullptr) {
      k.verifier().report(Fault::BadObject, "IofCallDriver to unknown device object " + pointerText(DeviceObject));
      return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
      k.verifier().report(Fault::BadRequest, "IofCallDriver: no stack location left in request " +
                                                 pointerText(Irp) + " for device " + pointerText(DeviceObject) +
                                                 " (NO_MORE_IRP_STACK_LOCATIONS)");
      return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(Irp);
    sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    location = static_cast<size_t>(Irp->CurrentLocation);
    r->locations[location] = 0;
    ++r->calls;
    callsBefore = r->calls;
    ++r->holds;
    routine = nullptr;
    if (DeviceObject->DriverObject != nullptr && sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION)
      routine = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    if (routine == nullptr) routine = InvalidDeviceRequest;
  }
  KIRQL before = currentIrql();
  UCHAR major = sp->MajorFunction, minor = sp->MinorFunction;
  NTSTATUS status = routine(DeviceObject, Irp);
  KIRQL after = currentIrql();
  if (after != before) {
    k.verifier().report(Fault::IrqlNotRestored,
                        "dispatch routine for " + majorName(major) + " of device " + pointerText(DeviceObject) +
                            " returned at IRQL " + std::to_string(after) + ", called at " + std::to_string(before));
    setIrql(before);
  }
  std::unique_lock lock(impl.mutex);
  IrpRecord* r = impl.irp(Irp);
  bool passedDown = r != nullptr && r->calls > callsBefore;
  // Completion clears the locations it passes, so once it has passed this one, what it saw there counts.
  uint8_t state = r != nullptr ? r->locations[location] : 0;
  bool completedHere = (state & kLocationCompleted) != 0;
  bool marked = completedHere ? (state & kLocationMarkSeen) != 0 : (sp->Control & SL_PENDING_RETURNED) != 0;
  // A request passed down and still on its way may yet be marked on the way back (the I/O manager
  // propagates the mark where no completion routine runs); completion checks then.
  bool owesMark = status == STATUS_PENDING && !marked && passedDown && !completedHere;
  if (owesMark) r->locations[location] |= kLocationOwesPending;
  if (r != nullptr) {
    --r->holds;
    impl.releaseIrp(r);
  }
  lock.unlock();
  auto what = [&] {
    return majorName(major) + (major == IRP_MJ_PNP ? "/" + minorName(major, minor) : "") + " to device " +
           pointerText(DeviceObject);
  };
  // "IoMarkIrpPending": a routine that returns STATUS_PENDING must have marked its stack location.
  if (status == STATUS_PENDING && !marked && !owesMark)
    k.verifier().report(Fault::PendingNotMarked, "dispatch routine for " + what() +
                                                     " returned STATUS_PENDING without IoMarkIrpPending");
  if (status != STATUS_PENDING && marked)
    k.verifier().report(Fault::MarkedNotPending, "dispatch routine for " + what() +
                                                     " marked the request pending but returned " + statusText(status));
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Kernel& k = K();
  requireIrql("IofCompleteRequest", DISPATCH_LEVEL);
  auto& impl = k.io().impl();
  uint64_t serial;
  {
    std::lock_guard lock(impl.mutex);
    IrpRecord* r = impl.irp(Irp);
    if (r == nullptr || r->freeRequested || r->finished) {
      k.verifier().report(Fault::DoubleCompletion, "IoCompleteRequest of request " + pointerText(Irp) +
                                                       ", which is not outstanding (completed twice?)");
      return;
    }
    // One past the top is allowed: the request's creator stopped completion there with
    // STATUS_MORE_PROCESSING_REQUIRED and now lets the I/O manager finish it.
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
      k.verifier().report(Fault::DoubleCompletion, "IoCompleteRequest of request " + pointerText(Irp) +
                                                       ", which no driver holds (completed twice?)");
      return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
      k.verifier().report(Fault::BadCompletion, "request " + pointerText(Irp) + " completed with STATUS_PENDING");
    }
    if (Irp->CancelRoutine != nullptr) {
      k.verifier().report(Fault::BadCompletion, "request " + pointerText(Irp) +
                                                    " completed with its cancel routine still set");
      Irp->CancelRoutine = nullptr;
    }
    serial = r->serial;
  }
  // Nobody else may touch a request while it completes, so no hold is kept: a completion routine may free
  // the request it owns (and must then return STATUS_MORE_PROCESSING_REQUIRED).
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    auto location = static_cast<size_t>(Irp->CurrentLocation);
    bool marked = (sp->Control & SL_PENDING_RETURNED) != 0;
    bool owedMark = false;
    {
      std::lock_guard lock(impl.mutex);
      if (IrpRecord* r = impl.irp(Irp)) {
        owedMark = (r->locations[location] & kLocationOwesPending) != 0;
        r->locations[location] = kLocationCompleted | (marked ? kLocationMarkSeen : 0);
      }
    }
    if (owedMark && !marked)
      k.verifier().report(Fault::PendingNotMarked,
                          "dispatch routine for " + majorName(sp->MajorFunction) + " of device " +
                              pointerText(sp->DeviceObject) +
                              " passed the request down and returned STATUS_PENDING, but nothing marked it pending");
    Irp->PendingReturned = marked;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = sp->CompletionRoutine != nullptr &&
                  ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    // The completed location is cleared before the routine of the location above runs, as the NT I/O
    // manager does: a completion routine cannot read the lower driver's parameters ("IoCompletion").
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    std::memset(&sp->Parameters, 0, sizeof sp->Parameters);
    sp->FileObject = nullptr;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
    IoSkipCurrentIrpStackLocation(Irp);
    bool above = Irp->CurrentLocation <= Irp->StackCount;
    if (invoke) {
      PDEVICE_OBJECT device = above ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
      KIRQL before = currentIrql();
      NTSTATUS result = routine(device, Irp, context);
      if (currentIrql() != before) {
        k.verifier().report(Fault::IrqlNotRestored, "completion routine returned at IRQL " +
                                                        std::to_string(currentIrql()) + ", called at " +
                                                        std::to_string(before));
        setIrql(before);
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      {
        std::lock_guard lock(impl.mutex);
        IrpRecord* r = impl.irp(Irp);
        if (r == nullptr || r->serial != serial || r->freeRequested) {
          k.verifier().report(Fault::BadCompletion, "a completion routine freed request " + pointerText(Irp) +
                                                        " but let its completion go on");
          return;
        }
      }
      // "IoMarkIrpPending": a completion routine that lets completion go on must propagate the pending
      // mark of the location below.
      if (Irp->PendingReturned && above && !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED)) {
        k.verifier().report(Fault::PendingNotMarked,
                            "completion routine for device " + pointerText(device) +
                                " saw PendingReturned and returned without IoMarkIrpPending");
        IoMarkIrpPending(Irp);
      }
    } else if (Irp->PendingReturned && above) {
      IoMarkIrpPending(Irp);
    }
  }
  // Past the top: the request is done.
  std::function<void(IRP*)> onDone;
  PKEVENT event = nullptr;
  {
    std::lock_guard lock(impl.mutex);
    IrpRecord* r = impl.irp(Irp);
    if (r == nullptr || r->serial != serial) return;
    r->finished = true;
    switch (r->origin) {
      case IrpOrigin::Driver:
        k.verifier().report(Fault::BadCompletion,
                            "request " + pointerText(Irp) +
                                " from IoAllocateIrp completed past its top: its owner must stop completion with "
                                "STATUS_MORE_PROCESSING_REQUIRED and free it");
        r->finished = false;
        return;
      case IrpOrigin::Built: {
        NTSTATUS status = Irp->IoStatus.Status;
        if (r->copyBack && r->outputBuffer != nullptr && !NT_ERROR(status)) {
          if (Irp->IoStatus.Information > r->outputLength)
            k.verifier().report(Fault::BadCompletion,
                                "request " + pointerText(Irp) + " completed with Information " +
                                    std::to_string(Irp->IoStatus.Information) + ", more than its output buffer of " +
                                    std::to_string(r->outputLength) + " bytes");
          size_t n = std::min<size_t>(Irp->IoStatus.Information, r->outputLength);
          std::memcpy(r->outputBuffer, r->systemBuffer.data(), n);
        }
        // A request that failed without pending returned its status to the caller directly; the status
        // block and the event are left alone ("IoBuildDeviceIoControlRequest").
        if (!NT_ERROR(status) || Irp->PendingReturned) {
          if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
          event = Irp->UserEvent;
        }
        // Freed now, as the I/O manager frees it when its completion finishes: the pool's poison is what
        // a driver touching it afterwards reads.
        r->freeRequested = true;
        impl.releaseIrp(r);
        break;
      }
      case IrpOrigin::Owned:
        onDone = std::move(r->onDone);
        break;
    }
  }
  if (event != nullptr) KeSetEvent(event, PriorityBoost, FALSE);
  if (onDone) onDone(Irp);
  std::lock_guard lock(impl.mutex);
  if (IrpRecord* r = impl.irp(Irp); r != nullptr && r->serial == serial && r->origin == IrpOrigin::Owned) {
    r->freeRequested = true;
    impl.releaseIrp(r);
  }
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&K().io().impl().cancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&K().io().impl().cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  Kernel& k = K();
  requireIrql("IoCancelIrp", DISPATCH_LEVEL);
  auto& impl = k.io().impl();
  {
    std::lock_guard lock(impl.mutex);
    IrpRecord* r = impl.irp(Irp);
    if (r == nullptr || r->freeRequested) {
      k.verifier().report(Fault::BadRequest, "IoCancelIrp of unknown or freed request " + pointerText(Irp));
      return FALSE;
    }
    if (r->finished) return FALSE;  // completed already, its owner has not freed it yet
    ++r->holds;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  BOOLEAN result = FALSE;
  if (routine != nullptr) {
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    // The cancel routine releases the cancel spin lock.
    routine(device, Irp);
    result = TRUE;
  } else {
    IoReleaseCancelSpinLock(irql);
  }
  std::lock_guard lock(impl.mutex);
  if (IrpRecord* r = impl.irp(Irp)) {
    --r->holds;
    impl.releaseIrp(r);
  }
  return result;
}

// The common start of the request builders, with the I/O manager's lock held: checks the target and takes
// a request with a stack location for each driver.
static IRP* newBuiltIrp(Kernel& k, IoManager::Impl& impl, const char* caller, PDEVICE_OBJECT DeviceObject) {
  if (impl.device(DeviceObject) == nullptr) {
    k.verifier().report(Fault::BadObject, std::string(caller) + " for unknown device " + pointerText(DeviceObject));
    return nullptr;
  }
  return impl.newIrp(DeviceObject->StackSize, IrpOrigin::Built, true);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  Kernel& k = K();
  requireIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  IRP* irp = newBuiltIrp(k, impl, "IoBuildDeviceIoControlRequest", DeviceObject);
  if (irp == nullptr) return nullptr;
  IrpRecord* r = impl.irp(irp);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
      size_t size = std::max(InputBufferLength, OutputBufferLength);
      if (size > 0) {
        r->systemBuffer.assign(size, 0);
        if (InputBuffer != nullptr && InputBufferLength > 0)
          std::memcpy(r->systemBuffer.data(), InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = r->systemBuffer.data();
        r->copyBack = OutputBuffer != nullptr && OutputBufferLength > 0;
        r->outputBuffer = OutputBuffer;
        r->outputLength = OutputBufferLength;
      }
      irp->UserBuffer = OutputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBuffer != nullptr && InputBufferLength > 0) {
        r->systemBuffer.assign(static_cast<uint8_t*>(InputBuffer),
                               static_cast<uint8_t*>(InputBuffer) + InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = r->systemBuffer.data();
      }
      if (OutputBuffer != nullptr && OutputBufferLength > 0) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, nullptr);
        if (mdl == nullptr) {
          r->freeRequested = true;
          impl.releaseIrp(r);
          return nullptr;
        }
        r->ownedMdl = mdl;
        irp->MdlAddress = mdl;
      }
      break;
    default:  // METHOD_NEITHER
      sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  irp->RequestorMode = KernelMode;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->Flags = IRP_SYNCHRONOUS_API;
  r->firstMajor = sp->MajorFunction;
  r->firstTarget = DeviceObject;
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  Kernel& k = K();
  requireIrql("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL);
  auto& impl = k.io().impl();
  std::lock_guard lock(impl.mutex);
  IRP* irp = newBuiltIrp(k, impl, "IoBuildSynchronousFsdRequest", DeviceObject);
  if (irp == nullptr) return nullptr;
  IrpRecord* r = impl.irp(irp);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    sp->Parameters.Read.Length = Length;
    if (StartingOffset != nullptr) sp->Parameters.Read.ByteOffset = *StartingOffset;
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      r->systemBuffer.assign(Length, 0);
      if (MajorFunction == IRP_MJ_WRITE && Length > 0) std::memcpy(r->systemBuffer.data(), Buffer, Length);
      irp->AssociatedIrp.SystemBuffer = r->systemBuffer.data();
      r->copyBack = MajorFunction == IRP_MJ_READ;
      r->outputBuffer = Buffer;
      r->outputLength = Length;
    } else if ((DeviceObject->Flags & DO_DIRECT_IO) && Length > 0) {
      PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, nullptr);
      if (mdl == nullptr) {
        r->freeRequested = true;
        impl.releaseIrp(r);
        return nullptr;
      }
      r->ownedMdl = mdl;
      irp->MdlAddress = mdl;
    } else {
      irp->UserBuffer = Buffer;
    }
  }
  irp->RequestorMode = KernelMode;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->Flags = IRP_SYNCHRONOUS_API;
  r->firstMajor = sp->MajorFunction;
  r->firstTarget = DeviceObject;
  return irp;
}

// ------------------------------------------------------------------------------------------ MDLs

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  Kernel& k = K();
  requireIrql("IoAllocateMdl", DISPATCH_LEVEL);
  auto* mdl = static_cast<PMDL>(k.pool().allocate(PoolKind::NonPaged, sizeof(MDL), kTagMdl));
  if (mdl == nullptr) return nullptr;
  std::memset(mdl, 0, sizeof *mdl);
  auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
  mdl->Size = static_cast<CSHORT>(sizeof(MDL));
  mdl->StartVa = reinterpret_cast<PVOID>(va & ~static_cast<uintptr_t>(PAGE_SIZE - 1));
  mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  {
    auto& impl = k.io().impl();
    std::lock_guard lock(impl.mutex);
    impl.mdls[mdl] = true;
  }
  if (Irp != nullptr) {
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  Kernel& k = K();
  auto& impl = k.io().impl();
  {
    std::lock_guard lock(impl.mutex);
    if (impl.mdls.erase(Mdl) == 0) {
      k.verifier().report(Fault::BadCall, "IoFreeMdl of unknown MDL " + pointerText(Mdl));
      return;
    }
  }
  k.pool().free(Mdl);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  Kernel& k = K();
  requireIrql("MmMapLockedPages", DISPATCH_LEVEL);
  if (MemoryDescriptorList == nullptr) {
    k.verifier().report(Fault::BadCall, "MmMapLockedPages(NULL)");
    return nullptr;
  }
  PVOID va = MmGetMdlVirtualAddress(MemoryDescriptorList);
  if (AccessMode == KernelMode) {
    MemoryDescriptorList->MappedSystemVa = va;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  }
  return va;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  if (MemoryDescriptorList != nullptr) MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

}  // extern "C"
