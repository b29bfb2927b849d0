// The Plug and Play manager.
#include "kernel/pnp_manager.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <sstream>

#include "kernel/io_internal.h"
#include "kernel/irql.h"
#include "kernel/pnp_internal.h"
#include "registry/registry.h"

namespace w98 {

std::string_view toString(DevNodeState s) {
  switch (s) {
    case DevNodeState::Initialized: return "Initialized";
    case DevNodeState::Started: return "Started";
    case DevNodeState::StopPending: return "StopPending";
    case DevNodeState::Stopped: return "Stopped";
    case DevNodeState::RemovePending: return "RemovePending";
    case DevNodeState::SurpriseRemoved: return "SurpriseRemoved";
    case DevNodeState::Removed: return "Removed";
    case DevNodeState::Failed: return "Failed";
  }
  return "?";
}

namespace {

constexpr const char* kEnumRoot = "HKEY_LOCAL_MACHINE\\Enum\\";
constexpr const char* kClassRoot = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";

bool equalsNoCase(std::string_view a, std::string_view b) { return upper(a) == upper(b); }

std::string join(const std::vector<std::string>& v, const char* sep) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) out += (i ? sep : "") + v[i];
  return out;
}

}  // namespace

// Named rather than anonymous: PnpManager::Impl, a class with linkage, holds them (in a unity build GCC warns
// of such members, -Wsubobject-linkage, as this file is then included in another).
namespace pnp_manager_detail {

struct LoadedDriver {
  DriverRegistration registration;
  DRIVER_OBJECT* object = nullptr;
  int loads = 0;
};

struct DevNode {
  DevNodeInfo info;
  LoadedDriver* driver = nullptr;
  bool referenced = false;  // the manager's reference on the PDO
  bool added = false;       // AddDevice succeeded
  bool removeSent = false;  // IRP_MN_REMOVE_DEVICE went to its stack
  bool startedOnce = false; // a start succeeded before (a start after a stop asks nothing more)
};

}  // namespace pnp_manager_detail
using pnp_manager_detail::DevNode;
using pnp_manager_detail::LoadedDriver;

struct PnpManager::Impl {
  explicit Impl(Kernel& k) : kernel(k) {}

  Kernel& kernel;
  mutable std::recursive_mutex mutex;  // devnodes and drivers
  std::vector<std::unique_ptr<LoadedDriver>> drivers;
  std::vector<std::unique_ptr<DevNode>> nodes;  // index = id - 1

  // Work queue of the system thread; changed only inside clock().update().
  std::deque<std::function<void()>> queue;
  bool busy = false;
  bool stopping = false;
  bool shutDown = false;
  Kernel::Thread worker;
  std::atomic<std::thread::id> workerId{};  // written by the worker as it starts, read by every caller

  DevNode* node(int id) {
    return id >= 1 && static_cast<size_t>(id) <= nodes.size() ? nodes[static_cast<size_t>(id) - 1].get() : nullptr;
  }
  DevNode* nodeFor(const DEVICE_OBJECT* pdo) {
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
      if ((*it)->info.pdo == pdo && (*it)->info.state != DevNodeState::Removed) return it->get();
    }
    return nullptr;
  }

  void enqueue(std::function<void()> work) {
    kernel.clock().update([&] { queue.push_back(std::move(work)); });
  }

  void workerLoop() {
    for (;;) {
      std::function<void()> work;
      bool stop = false;
      kernel.clock().waitUntil([&] { return stopping || !queue.empty(); }, "Plug and Play manager (idle)");
      kernel.clock().update([&] {
        if (!queue.empty()) {
          work = std::move(queue.front());
          queue.pop_front();
          busy = true;
        } else {
          stop = stopping;
        }
      });
      if (work) {
        work();
        kernel.clock().update([&] { busy = false; });
      } else if (stop) {
        return;
      }
    }
  }

  // Runs `op` on the system thread and waits until the queue is empty again.
  NTSTATUS run(std::function<NTSTATUS()> op, const std::string& what) {
    if (std::this_thread::get_id() == workerId) return op();
    auto result = std::make_shared<NTSTATUS>(STATUS_PENDING);
    auto done = std::make_shared<bool>(false);
    enqueue([op = std::move(op), result, done, this] {
      NTSTATUS s = op();
      kernel.clock().update([&] {
        *result = s;
        *done = true;
      });
    });
    const std::string& thread = threadName();
    auto text = [&] { return what + " on " + thread; };
    kernel.clock().waitUntil([&] { return *done && queue.empty() && !busy; }, text);
    return *result;
  }

  // IRP_MN_QUERY_CAPABILITIES as the manager sends it: the structure's size and version set, every flag
  // clear, Address and UINumber unknown (0xFFFFFFFF) until the bus driver fills them in.
  NTSTATUS queryCapabilities(DEVICE_OBJECT* pdo, DEVICE_CAPABILITIES& caps) {
    std::memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    return send(pdo, IRP_MN_QUERY_CAPABILITIES,
                [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
  }

  // Sends one Plug and Play request to the top of `pdo`'s stack and waits for it.
  NTSTATUS send(DEVICE_OBJECT* pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                ULONG_PTR* information = nullptr) {
    IoManager& io = kernel.io();
    DEVICE_OBJECT* top = io.topOfStack(pdo);
    if (top == nullptr) return STATUS_NO_SUCH_DEVICE;
    struct Outcome {
      bool done = false;
      NTSTATUS status = STATUS_PENDING;
      ULONG_PTR information = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    Clock& clock = kernel.clock();
    IRP* irp = io.allocateOwnedIrp(top, [outcome, &clock](IRP* i) {
      NTSTATUS s = i->IoStatus.Status;
      ULONG_PTR info = i->IoStatus.Information;
      clock.update([&] {
        outcome->status = s;
        outcome->information = info;
        outcome->done = true;
      });
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (setup) setup(sp);
    IofCallDriver(top, irp);
    auto what = [&] { return "Plug and Play request " + minorName(IRP_MJ_PNP, minor) + " to device " + pointerText(top); };
    clock.waitUntil([&] { return outcome->done; }, what);
    if (information != nullptr) *information = outcome->information;
    return outcome->status;
  }

  // Reads a driver-allocated wide string (or multi-string) answer and frees it.
  std::vector<std::string> takeStrings(ULONG_PTR information, bool multi) {
    std::vector<std::string> out;
    auto* text = reinterpret_cast<WCHAR*>(information);
    if (text == nullptr) return out;
    auto block = kernel.pool().block(text);
    if (!block) {
      kernel.verifier().report(Fault::BadCall, "an id answer at " + pointerText(text) +
                                                   " is not a pool block (the Plug and Play manager frees it)");
      return out;
    }
    size_t units = block->size / sizeof(WCHAR);
    size_t i = 0;
    while (i < units) {
      size_t start = i;
      while (i < units && text[i] != 0) ++i;
      if (i == start) break;  // empty string: end of the list
      out.push_back(narrow(text + start, i - start));
      ++i;
      if (!multi) break;
    }
    ExFreePool(text);
    return out;
  }

  std::vector<std::string> queryId(DEVICE_OBJECT* pdo, BUS_QUERY_ID_TYPE type, NTSTATUS* status) {
    ULONG_PTR info = 0;
    NTSTATUS s = send(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
                      &info);
    if (status != nullptr) *status = s;
    bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    std::vector<std::string> ids = takeStrings(info, multi);
    if (!NT_SUCCESS(s)) ids.clear();
    return ids;
  }

  LoadedDriver* findDriver(const DevNodeInfo& info) {
    for (const auto* list : {&info.hardwareIds, &info.compatibleIds}) {
      for (const auto& id : *list) {
        for (auto& d : drivers) {
          if (equalsNoCase(d->registration.hardwareId, id)) return d.get();
        }
      }
    }
    return nullptr;
  }

  std::string driverKeyFor(const std::string& deviceKey, const std::string& className) {
    Registry& reg = kernel.registry();
    if (auto existing = reg.stringValue(deviceKey, "Driver")) {
      if (!existing->empty()) return std::string(kClassRoot) + *existing;
    }
    std::string classKey = std::string(kClassRoot) + className;
    auto taken = reg.subkeys(classKey);
    for (int n = 0; n < 10000; ++n) {
      char digits[8];
      std::snprintf(digits, sizeof digits, "%04d", n);
      bool used = std::any_of(taken.begin(), taken.end(), [&](const std::string& s) { return equalsNoCase(s, digits); });
      if (!used) {
        reg.setString(deviceKey, "Driver", className + "\\" + digits);
        return classKey + "\\" + digits;
      }
    }
    return {};
  }

  NTSTATUS loadDriver(LoadedDriver* d) {
    if (d->object != nullptr) return STATUS_SUCCESS;
    if (d->registration.resetImage != nullptr) d->registration.resetImage();
    NTSTATUS status = STATUS_SUCCESS;
    std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + d->registration.service;
    d->object = kernel.io().createDriver("\\Driver\\" + d->registration.service, d->registration.entry, path, &status);
    ++d->loads;
    return status;
  }

  void maybeUnload(LoadedDriver* d) {
    // A driver stays loaded while any of its device objects exists (a deleted one kept by an open handle
    // still dispatches to it).
    if (d == nullptr || d->object == nullptr || kernel.io().devicesOf(d->object) != 0) return;
    for (auto& n : nodes) {
      if (n->driver == d && n->added && n->info.state != DevNodeState::Removed) return;
    }
    DRIVER_OBJECT* object = d->object;
    if (object->DriverUnload != nullptr) {
      IrqlScope passive(PASSIVE_LEVEL);
      object->DriverUnload(object);
    }
    if (d->registration.poolTag) {
      kernel.pool().checkLeaks("at unload of driver " + d->registration.service, *d->registration.poolTag);
    }
    kernel.io().deleteDriver(object);
    d->object = nullptr;
  }

  // Makes the devnode of a newly reported PDO and brings it up. Runs on the system thread. A PDO reported in
  // bus relations comes with the reference its bus driver took, which the devnode keeps; one that arrives
  // from the host's bus gets the manager's own.
  int enumerate(DEVICE_OBJECT* pdo, int parent) {
    auto n = std::make_unique<DevNode>();
    n->info.pdo = pdo;
    n->info.parent = parent;
    if (parent == 0) ObfReferenceObject(pdo);
    n->referenced = true;
    DevNode* node;
    {
      std::lock_guard lock(mutex);
      n->info.id = static_cast<int>(nodes.size()) + 1;
      node = n.get();
      nodes.push_back(std::move(n));
      if (DevNode* p = this->node(parent)) p->info.children.push_back(node->info.id);
    }
    DevNodeInfo& info = node->info;
    NTSTATUS s;
    auto ids = queryId(pdo, BusQueryDeviceID, &s);
    if (!NT_SUCCESS(s) || ids.empty()) {
      { std::lock_guard lock(mutex); info.state = DevNodeState::Failed; }
      { std::lock_guard lock(mutex); info.status = NT_SUCCESS(s) ? STATUS_UNSUCCESSFUL : s; }
      return info.id;
    }
    { std::lock_guard lock(mutex); info.deviceId = ids.front(); }
    // Never hold the lock across a request: readers would block outside the clock while the request waits.
    auto hardwareIds = queryId(pdo, BusQueryHardwareIDs, nullptr);
    auto compatibleIds = queryId(pdo, BusQueryCompatibleIDs, nullptr);
    {
      std::lock_guard lock(mutex);
      info.hardwareIds = std::move(hardwareIds);
      info.compatibleIds = std::move(compatibleIds);
    }
    auto instance = queryId(pdo, BusQueryInstanceID, &s);
    { std::lock_guard lock(mutex); info.instanceId = instance.empty() ? std::to_string(info.id) : instance.front(); }

    DEVICE_CAPABILITIES caps;
    if (NT_SUCCESS(queryCapabilities(pdo, caps))) {
      { std::lock_guard lock(mutex); info.rawDeviceOk = caps.RawDeviceOK; }
      { std::lock_guard lock(mutex); info.surpriseRemovalOk = caps.SurpriseRemovalOK; }
    }

    Registry& reg = kernel.registry();
    { std::lock_guard lock(mutex); info.deviceKey = std::string(kEnumRoot) + info.deviceId + "\\" + info.instanceId; }
    reg.createKey(info.deviceKey);
    reg.setString(info.deviceKey, "HardwareID", join(info.hardwareIds, ","));
    if (!info.compatibleIds.empty()) reg.setString(info.deviceKey, "CompatibleIDs", join(info.compatibleIds, ","));

    LoadedDriver* d = findDriver(info);
    if (d != nullptr) {
      node->driver = d;
      { std::lock_guard lock(mutex); info.service = d->registration.service; }
      { std::lock_guard lock(mutex); info.driverKey = driverKeyFor(info.deviceKey, d->registration.className); }
      reg.createKey(info.driverKey);
      reg.setString(info.deviceKey, "Class", d->registration.className);
      reg.setString(info.driverKey, "NTMPDriver", d->registration.service + ".sys");
      reg.setString(info.driverKey, "DevLoader", "*ntkern");
      NTSTATUS load = loadDriver(d);
      if (!NT_SUCCESS(load)) {
        { std::lock_guard lock(mutex); info.state = DevNodeState::Failed; }
        { std::lock_guard lock(mutex); info.status = load; }
        return info.id;
      }
      auto addDevice = d->object->DriverExtension->AddDevice;
      NTSTATUS added = STATUS_UNSUCCESSFUL;
      if (addDevice != nullptr) {
        IrqlScope passive(PASSIVE_LEVEL);
        added = addDevice(d->object, pdo);
        if (currentIrql() != PASSIVE_LEVEL)
          kernel.verifier().report(Fault::IrqlNotRestored, "AddDevice of " + d->registration.service +
                                                               " returned at IRQL " + std::to_string(currentIrql()));
      }
      if (!NT_SUCCESS(added)) {
        { std::lock_guard lock(mutex); info.state = DevNodeState::Failed; }
        { std::lock_guard lock(mutex); info.status = added; }
        maybeUnload(d);
        return info.id;
      }
      node->added = true;
    }
    // Windows 98 starts no device without a function driver: it waits for one to be installed.
    if (d != nullptr) start(node);
    return info.id;
  }

  void start(DevNode* node) {
    DevNodeInfo& info = node->info;
    NTSTATUS s = send(info.pdo, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION sp) {
      sp->Parameters.StartDevice.AllocatedResources = nullptr;
      sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    { std::lock_guard lock(mutex); info.status = s; }
    if (!NT_SUCCESS(s)) {
      // "Stopping a Device After a Failed Start (Windows 98/Me)": the stack gets IRP_MN_STOP_DEVICE and stays
      // until the device is removed.
      { std::lock_guard lock(mutex); info.state = DevNodeState::Failed; }
      send(info.pdo, IRP_MN_STOP_DEVICE, nullptr);
      return;
    }
    { std::lock_guard lock(mutex); info.state = DevNodeState::Started; }
    if (node->startedOnce) return;
    node->startedOnce = true;
    // "Adding a PnP Device to a Running System": after the first start the manager asks on its own
    // ("IRP_MN_QUERY_PNP_DEVICE_STATE": not after a start that follows a stop).
    DEVICE_CAPABILITIES caps;
    queryCapabilities(info.pdo, caps);
    send(info.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr);
    queryRelations(info.id);
  }

  void queryRelations(int id) {
    DevNode* node = this->node(id);
    if (node == nullptr || node->info.state != DevNodeState::Started) return;
    ULONG_PTR info = 0;
    NTSTATUS s = send(node->info.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                      [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }, &info);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    if (!NT_SUCCESS(s)) {
      if (relations != nullptr)
        kernel.verifier().report(Fault::BadCall, "a failed bus-relations query returned a relations array");
      return;
    }
    std::vector<DEVICE_OBJECT*> reported;
    if (relations != nullptr) {
      auto block = kernel.pool().block(relations);
      size_t room = block ? (block->size - offsetof(DEVICE_RELATIONS, Objects)) / sizeof(PDEVICE_OBJECT) : 0;
      if (!block) {
        kernel.verifier().report(Fault::BadCall, "the bus-relations answer is not a pool block");
        return;
      }
      if (relations->Count > room) {
        kernel.verifier().report(Fault::BadCall, "the bus-relations answer counts " + std::to_string(relations->Count) +
                                                     " devices but has room for " + std::to_string(room));
      }
      for (ULONG i = 0; i < std::min<size_t>(relations->Count, room); ++i) reported.push_back(relations->Objects[i]);
      ExFreePool(relations);
    }
    // Children that are no longer reported are gone.
    std::vector<int> vanished;
    for (int child : node->info.children) {
      DevNode* c = this->node(child);
      if (c != nullptr && c->info.state != DevNodeState::Removed &&
          std::find(reported.begin(), reported.end(), c->info.pdo) == reported.end())
        vanished.push_back(child);
    }
    for (int child : vanished) removeSubtree(child, false);
    for (DEVICE_OBJECT* pdo : reported) {
      if (!kernel.io().isLive(pdo)) {
        kernel.verifier().report(Fault::BadObject, "bus relations list unknown device object " + pointerText(pdo));
        continue;
      }
      bool known = false;
      for (int child : node->info.children) {
        DevNode* c = this->node(child);
        if (c != nullptr && c->info.pdo == pdo && c->info.state != DevNodeState::Removed) known = true;
      }
      // The devnode already holds a reference on a known PDO: the new one is dropped now.
      if (known) ObfDereferenceObject(pdo);
      else enumerate(pdo, id);
    }
  }

  // Every devnode of the subtree, children before their parents.
  void collect(int id, std::vector<int>& out) {
    DevNode* n = node(id);
    if (n == nullptr) return;
    for (int child : n->info.children) collect(child, out);
    if (n->info.state != DevNodeState::Removed) out.push_back(id);
  }

  NTSTATUS queryRemove(int id) {
    std::vector<int> order;
    collect(id, order);
    std::vector<int> asked;
    for (int i : order) {
      DevNode* n = node(i);
      if (n->info.state == DevNodeState::Failed) continue;
      NTSTATUS s = send(n->info.pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
      if (!NT_SUCCESS(s)) {
        for (int j : asked) {
          DevNode* m = node(j);
          send(m->info.pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
          { std::lock_guard lock(mutex); m->info.state = DevNodeState::Started; }
        }
        send(n->info.pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
        { std::lock_guard lock(mutex); n->info.status = s; }
        return s;
      }
      { std::lock_guard lock(mutex); n->info.state = DevNodeState::RemovePending; }
      asked.push_back(i);
    }
    return STATUS_SUCCESS;
  }

  // Surprise removal (when `surprise`) then removal of the subtree, children first.
  NTSTATUS removeSubtree(int id, bool surprise) {
    std::vector<int> order;
    collect(id, order);
    if (surprise) {
      for (int i : order) {
        DevNode* n = node(i);
        if (n->removeSent) continue;
        send(n->info.pdo, IRP_MN_SURPRISE_REMOVAL, nullptr);
        { std::lock_guard lock(mutex); n->info.state = DevNodeState::SurpriseRemoved; }
      }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (int i : order) {
      DevNode* n = node(i);
      if (!n->removeSent) {
        NTSTATUS s = send(n->info.pdo, IRP_MN_REMOVE_DEVICE, nullptr);
        n->removeSent = true;
        if (i == id) result = s;
        { std::lock_guard lock(mutex); n->info.status = s; }
        // "IRP_MN_REMOVE_DEVICE": a driver must not fail this request.
        if (!NT_SUCCESS(s))
          kernel.verifier().report(Fault::BadCall, "IRP_MN_REMOVE_DEVICE for " + n->info.deviceId + " failed with " +
                                                       statusText(s));
      }
      n->added = false;
      maybeUnload(n->driver);
      std::lock_guard lock(mutex);
      n->info.state = DevNodeState::Removed;
      if (n->referenced) {
        n->referenced = false;
        ObfDereferenceObject(n->info.pdo);
      }
    }
    return result;
  }
};

// ------------------------------------------------------------------------------------------ PnpManager

PnpManager::PnpManager(Kernel& kernel) : impl_(std::make_unique<Impl>(kernel)) {
  Impl* impl = impl_.get();
  impl->worker = kernel.spawn(
      [impl] {
        impl->workerId = std::this_thread::get_id();
        impl->workerLoop();
      },
      "pnp");
}

PnpManager::~PnpManager() { shutdown(); }

void PnpManager::shutdown() {
  if (impl_->shutDown) return;
  impl_->shutDown = true;
  impl_->kernel.clock().update([&] { impl_->stopping = true; });
  impl_->worker.join();
}

void PnpManager::registerDriver(DriverRegistration registration) {
  std::lock_guard lock(impl_->mutex);
  for (auto& d : impl_->drivers) {
    if (equalsNoCase(d->registration.hardwareId, registration.hardwareId)) {
      d->registration = std::move(registration);
      return;
    }
  }
  auto d = std::make_unique<LoadedDriver>();
  d->registration = std::move(registration);
  impl_->drivers.push_back(std::move(d));
}

NtStatus PnpManager::deviceArrived(_DEVICE_OBJECT* pdo) {
  requireIrql("PnpManager::deviceArrived", PASSIVE_LEVEL);
  Impl* impl = impl_.get();
  return impl->run(
      [impl, pdo]() -> NTSTATUS {
        if (!impl->kernel.io().isLive(pdo)) {
          impl->kernel.verifier().report(Fault::BadObject, "deviceArrived with unknown device object " + pointerText(pdo));
          return STATUS_INVALID_PARAMETER;
        }
        if (impl->nodeFor(pdo) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
        int id = impl->enumerate(pdo, 0);
        return impl->node(id)->info.status;
      },
      "Plug and Play arrival");
}

NtStatus PnpManager::deviceRemoved(_DEVICE_OBJECT* pdo, Removal how) {
  requireIrql("PnpManager::deviceRemoved", PASSIVE_LEVEL);
  Impl* impl = impl_.get();
  return impl->run(
      [impl, pdo, how]() -> NTSTATUS {
        DevNode* n = impl->nodeFor(pdo);
        if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
        if (how == Removal::Orderly) {
          NTSTATUS s = impl->queryRemove(n->info.id);
          if (!NT_SUCCESS(s)) return s;
        }
        return impl->removeSubtree(n->info.id, how == Removal::NtSurpriseRemoval);
      },
      "Plug and Play removal");
}

NtStatus PnpManager::stopDevice(int id) {
  requireIrql("PnpManager::stopDevice", PASSIVE_LEVEL);
  Impl* impl = impl_.get();
  return impl->run(
      [impl, id]() -> NTSTATUS {
        DevNode* n = impl->node(id);
        if (n == nullptr || n->info.state != DevNodeState::Started) return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS s = impl->send(n->info.pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr);
        if (!NT_SUCCESS(s)) {
          impl->send(n->info.pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
          { std::lock_guard lock(impl->mutex); n->info.status = s; }
          return s;
        }
        { std::lock_guard lock(impl->mutex); n->info.state = DevNodeState::StopPending; }
        s = impl->send(n->info.pdo, IRP_MN_STOP_DEVICE, nullptr);
        { std::lock_guard lock(impl->mutex); n->info.status = s; }
        { std::lock_guard lock(impl->mutex); n->info.state = DevNodeState::Stopped; }
        return s;
      },
      "Plug and Play stop");
}

NtStatus PnpManager::startDevice(int id) {
  requireIrql("PnpManager::startDevice", PASSIVE_LEVEL);
  Impl* impl = impl_.get();
  return impl->run(
      [impl, id]() -> NTSTATUS {
        DevNode* n = impl->node(id);
        if (n == nullptr || n->info.state != DevNodeState::Stopped) return STATUS_INVALID_DEVICE_STATE;
        impl->start(n);
        return n->info.status;
      },
      "Plug and Play start");
}

NtStatus PnpManager::removeDevice(int id) {
  requireIrql("PnpManager::removeDevice", PASSIVE_LEVEL);
  Impl* impl = impl_.get();
  return impl->run(
      [impl, id]() -> NTSTATUS {
        DevNode* n = impl->node(id);
        if (n == nullptr || n->info.state == DevNodeState::Removed) return STATUS_NO_SUCH_DEVICE;
        NTSTATUS s = impl->queryRemove(id);
        if (!NT_SUCCESS(s)) return s;
        return impl->removeSubtree(id, false);
      },
      "Plug and Play remove");
}

std::vector<DevNodeInfo> PnpManager::devices() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<DevNodeInfo> out;
  for (auto& n : impl_->nodes) out.push_back(n->info);
  return out;
}

std::optional<DevNodeInfo> PnpManager::device(int id) const {
  std::lock_guard lock(impl_->mutex);
  DevNode* n = impl_->node(id);
  if (n == nullptr) return std::nullopt;
  return n->info;
}

std::optional<DevNodeInfo> PnpManager::deviceFor(const _DEVICE_OBJECT* pdo) const {
  std::lock_guard lock(impl_->mutex);
  DevNode* n = impl_->nodeFor(pdo);
  if (n == nullptr) return std::nullopt;
  return n->info;
}

std::string PnpManager::treeText() const {
  std::lock_guard lock(impl_->mutex);
  std::ostringstream out;
  std::function<void(int, int)> print = [&](int id, int depth) {
    DevNode* n = impl_->node(id);
    out << std::string(static_cast<size_t>(depth) * 2, ' ')
        << (n->info.deviceId.empty() ? "(no device id)" : n->info.deviceId) << "\\" << n->info.instanceId << " ["
        << toString(n->info.state);
    if (!NT_SUCCESS(n->info.status)) out << " " << statusText(n->info.status);
    out << "]";
    if (!n->info.service.empty()) out << " driver " << n->info.service;
    out << "\n";
    for (int child : n->info.children) print(child, depth + 1);
  };
  for (auto& n : impl_->nodes) {
    if (n->info.parent == 0) print(n->info.id, 0);
  }
  return out.str();
}

int PnpManager::loadCount(std::string_view service) const {
  std::lock_guard lock(impl_->mutex);
  int n = 0;
  for (auto& d : impl_->drivers) {
    if (equalsNoCase(d->registration.service, service)) n += d->loads;
  }
  return n;
}

bool PnpManager::driverLoaded(std::string_view service) const {
  std::lock_guard lock(impl_->mutex);
  for (auto& d : impl_->drivers) {
    if (equalsNoCase(d->registration.service, service) && d->object != nullptr) return true;
  }
  return false;
}

void PnpManager::waitIdle() {
  Impl* impl = impl_.get();
  const std::string& thread = threadName();
  auto what = [&] { return "Plug and Play manager to finish on " + thread; };
  impl->kernel.clock().waitUntil([impl] { return impl->queue.empty() && !impl->busy; }, what);
}

// ------------------------------------------------------------------------------------------ kernel hooks

std::optional<DevNodeKeys> pnpKeysOf(Kernel& kernel, const DEVICE_OBJECT* pdo) {
  auto& impl = kernel.pnp().impl();
  std::lock_guard lock(impl.mutex);
  DevNode* n = impl.nodeFor(pdo);
  if (n == nullptr) return std::nullopt;
  return DevNodeKeys{n->info.deviceKey, n->info.driverKey};
}

void pnpInvalidateRelations(Kernel& kernel, DEVICE_OBJECT* pdo, DEVICE_RELATION_TYPE type) {
  auto& impl = kernel.pnp().impl();
  int id;
  {
    std::lock_guard lock(impl.mutex);
    DevNode* n = impl.nodeFor(pdo);
    if (n == nullptr) {
      kernel.verifier().report(Fault::BadObject, "IoInvalidateDeviceRelations for " + pointerText(pdo) +
                                                     ", which is not the physical device object of a devnode");
      return;
    }
    id = n->info.id;
  }
  if (type != BusRelations) return;
  PnpManager::Impl* p = &impl;
  impl.enqueue([p, id] { p->queryRelations(id); });
}

}  // namespace w98

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  using namespace w98;
  requireIrql("IoInvalidateDeviceRelations", DISPATCH_LEVEL);
  pnpInvalidateRelations(K(), DeviceObject, Type);
}
