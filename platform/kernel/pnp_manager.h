// The Plug and Play manager: devnodes, driver loading, and the Plug and Play requests, sent one at a time
// from its own system thread (a participant of the clock).
//
// A bus driver (the USB stack) reports a new physical device object with deviceArrived(); the manager asks
// it for its ids and capabilities, creates the devnode with its registry keys, loads the driver registered
// for one of its hardware (or compatible) ids (image reset, DriverEntry; once per load), calls AddDevice
// and sends IRP_MN_START_DEVICE to the top of the stack. After its first successful start it sends, on its own,
// QUERY_CAPABILITIES, QUERY_PNP_DEVICE_STATE and a BusRelations query ("Adding a PnP Device to a Running
// System"). IoInvalidateDeviceRelations queues a BusRelations query that runs after the current operation;
// children reported in it are brought up the same way, except that a devnode without a registered driver
// keeps its ids and is not started. A failed start is followed by IRP_MN_STOP_DEVICE and the stack stays
// ("Stopping a Device After a Failed Start (Windows 98/Me)"). The reference a bus driver takes on each PDO it
// reports becomes the manager's: it is dropped at once for a PDO already known, otherwise when the devnode is
// removed ("IRP_MN_QUERY_DEVICE_RELATIONS"). A driver that fails IRP_MN_REMOVE_DEVICE is a verifier fault.
// The public operations return when the manager has nothing left to do.
//
// Registry layout: device key HKEY_LOCAL_MACHINE\Enum\<device id>\<instance id>; a devnode with a driver
// gets the driver key HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\<class>\NNNN (the lowest
// free four-digit number, kept across boots through the device key's "Driver" value = "<class>\NNNN").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/io_manager.h"

namespace w98 {

struct DriverRegistration {
  std::string hardwareId;   // "USB\VID_0F1B&PID_1002" (matched case-insensitively against hardware/compatible ids)
  DriverEntryFn entry = nullptr;
  void (*resetImage)() = nullptr;  // called before each load's DriverEntry
  std::string className = "USBQXC";
  std::string service = "oslnk";
  std::optional<uint32_t> poolTag;  // when set, blocks of this tag left at unload are reported as leaks
};

enum class DevNodeState {
  Initialized,      // known, not started yet (or never: no driver)
  Started,
  StopPending,      // query-stop succeeded
  Stopped,
  RemovePending,    // query-remove succeeded
  SurpriseRemoved,  // surprise removal sent, remove still to come
  Removed,
  Failed,           // AddDevice, start or the driver load failed (see `status`)
};

// How a device leaves ("Understanding When Remove IRPs Are Issued").
enum class Removal {
  // Windows 98's physical unplug: IRP_MN_REMOVE_DEVICE alone, which no driver can refuse.
  Unplug,
  // The Device Manager's Remove: IRP_MN_QUERY_REMOVE_DEVICE (a refusal is cancelled and returned), then
  // IRP_MN_REMOVE_DEVICE.
  Orderly,
  // Windows 2000 and later: IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE. Windows 98 never sends
  // IRP_MN_SURPRISE_REMOVAL; only tests that name this sequence use it.
  NtSurpriseRemoval,
};
std::string_view toString(DevNodeState s);

struct DevNodeInfo {
  int id = 0;
  int parent = 0;  // 0 for a root-enumerated devnode
  std::string deviceId;
  std::string instanceId;
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string deviceKey;  // full registry path
  std::string driverKey;  // full registry path, empty for a raw devnode
  std::string service;    // the driver's service name, empty for a raw devnode
  DevNodeState state = DevNodeState::Initialized;
  NtStatus status = 0;    // status of the last operation on the devnode
  bool rawDeviceOk = false;
  bool surpriseRemovalOk = false;
  _DEVICE_OBJECT* pdo = nullptr;  // only valid while the devnode is not Removed
  std::vector<int> children;
};

class PnpManager {
 public:
  explicit PnpManager(Kernel& kernel);
  ~PnpManager();
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  void registerDriver(DriverRegistration registration);

  // Bus-driver entry points. Called by a participant at PASSIVE_LEVEL; they return the status of the
  // operation once the manager is idle again (so relations queried on the way are processed).
  NtStatus deviceArrived(_DEVICE_OBJECT* pdo);
  // The device leaves as `how` says. Children are removed before their parent.
  NtStatus deviceRemoved(_DEVICE_OBJECT* pdo, Removal how);

  // Operations on devnodes by id.
  NtStatus stopDevice(int id);    // query-stop (cancel-stop when refused), stop
  NtStatus startDevice(int id);   // start again after a stop
  NtStatus removeDevice(int id);  // query-remove (cancel-remove when refused), remove

  std::vector<DevNodeInfo> devices() const;  // every devnode ever made in this kernel, in creation order
  std::optional<DevNodeInfo> device(int id) const;
  std::optional<DevNodeInfo> deviceFor(const _DEVICE_OBJECT* pdo) const;  // current devnode of a PDO
  // The tree as text: one line per devnode, indented under its parent: "USB\VID_0F1B&PID_1002\1 [Started]".
  std::string treeText() const;
  // Number of times the driver of `service` was loaded (DriverEntry called).
  int loadCount(std::string_view service) const;
  bool driverLoaded(std::string_view service) const;

  // Waits (as a participant) until the manager has nothing queued.
  void waitIdle();
  // Stops the system thread (kernel teardown).
  void shutdown();

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace w98
