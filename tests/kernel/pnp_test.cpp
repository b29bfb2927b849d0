// The Plug and Play manager: arrival, driver loading, relations and children, stop/start, removals.
#include <algorithm>

#include "pnp_drivers.h"

namespace w98::test {
namespace {

using Log = std::vector<std::string>;

class PnpTest : public PnpTestBase {
 protected:
  // The log entries that start with `prefix`.
  static Log only(const std::string& prefix) {
    Log out;
    for (auto& e : pnpLog()) {
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    }
    return out;
  }
};

TEST_F(PnpTest, ArrivalLoadsTheDriverOnceStartsTheStackAndAsksAfterTheStart) {
  PDEVICE_OBJECT pdo = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  Log expected = {
      "pdo:IRP_MN_QUERY_ID", "pdo:IRP_MN_QUERY_ID", "pdo:IRP_MN_QUERY_ID", "pdo:IRP_MN_QUERY_ID",
      "pdo:IRP_MN_QUERY_CAPABILITIES", "reset image", "DriverEntry", "AddDevice", "fdo:IRP_MN_START_DEVICE",
      "pdo:IRP_MN_START_DEVICE", "fdo:start done",
      // What the manager asks on its own once the start returned, never inside it.
      "fdo:IRP_MN_QUERY_CAPABILITIES", "pdo:IRP_MN_QUERY_CAPABILITIES", "fdo:IRP_MN_QUERY_PNP_DEVICE_STATE",
      "pdo:IRP_MN_QUERY_PNP_DEVICE_STATE", "fdo:IRP_MN_QUERY_DEVICE_RELATIONS", "child:IRP_MN_QUERY_ID",
      "child:IRP_MN_QUERY_ID", "child:IRP_MN_QUERY_ID", "child:IRP_MN_QUERY_ID", "child:IRP_MN_QUERY_CAPABILITIES",
      // The child has no function driver: it is not started. The driver's own IoInvalidateDeviceRelations
      // comes next and finds the child already reported.
      "fdo:IRP_MN_QUERY_DEVICE_RELATIONS", "pdo:IRP_MN_QUERY_DEVICE_RELATIONS"};
  EXPECT_EQ(pnpLog(), expected);

  auto nodes = kernel->pnp().devices();
  ASSERT_EQ(nodes.size(), 2u);
  const DevNodeInfo& cable = nodes[0];
  EXPECT_EQ(cable.deviceId, "USB\\VID_0F1B&PID_1002");
  EXPECT_EQ(cable.instanceId, "5&2A0B4C&0&1");
  EXPECT_EQ(cable.hardwareIds, (std::vector<std::string>{"USB\\VID_0F1B&PID_1002&REV_0100", "USB\\VID_0F1B&PID_1002"}));
  EXPECT_EQ(cable.compatibleIds.size(), 2u);
  EXPECT_EQ(cable.state, DevNodeState::Started);
  EXPECT_EQ(cable.service, "testfn");
  EXPECT_EQ(cable.deviceKey, "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002\\5&2A0B4C&0&1");
  EXPECT_EQ(cable.driverKey, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0000");
  EXPECT_TRUE(cable.surpriseRemovalOk);
  EXPECT_EQ(cable.children, std::vector<int>{2});
  EXPECT_EQ(registry.stringValue(cable.deviceKey, "Driver"), "USBQXC\\0000");
  EXPECT_TRUE(registry.keyExists(cable.driverKey));

  const DevNodeInfo& printer = nodes[1];
  EXPECT_EQ(printer.parent, cable.id);
  EXPECT_EQ(printer.deviceId, "LPTENUM\\AcmeJet 1002888");
  EXPECT_EQ(printer.hardwareIds, std::vector<std::string>{"AcmeJet 1002888"});
  EXPECT_TRUE(printer.compatibleIds.empty());
  EXPECT_EQ(printer.instanceId, "AcmeJet 1002888KVUSB1");
  EXPECT_EQ(printer.state, DevNodeState::Initialized);
  EXPECT_TRUE(printer.driverKey.empty()) << "no driver";
  EXPECT_EQ(printer.deviceKey, "HKEY_LOCAL_MACHINE\\Enum\\LPTENUM\\AcmeJet 1002888\\AcmeJet 1002888KVUSB1");

  // The manager freed every id answer and the relations array it was handed.
  EXPECT_TRUE(kernel->pool().outstanding(kTestTag).empty()) << kernel->pool().report();
  EXPECT_EQ(kernel->pnp().treeText(),
            "USB\\VID_0F1B&PID_1002\\5&2A0B4C&0&1 [Started] driver testfn\n"
            "  LPTENUM\\AcmeJet 1002888\\AcmeJet 1002888KVUSB1 [Initialized]\n");
  EXPECT_EQ(kernel->pnp().deviceFor(pdo)->id, cable.id);
  EXPECT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Unplug), STATUS_SUCCESS);
}

TEST_F(PnpTest, SecondCableReusesTheLoadedDriverAndTakesTheNextDriverKey) {
  PdoIds second;
  second.instanceId = "5&2A0B4C&0&2";
  PDEVICE_OBJECT a = bus->plug(), b = bus->plug(second);
  ASSERT_EQ(kernel->pnp().deviceArrived(a), STATUS_SUCCESS);
  ASSERT_EQ(kernel->pnp().deviceArrived(b), STATUS_SUCCESS);
  EXPECT_EQ(fn().entries, 1);
  EXPECT_EQ(kernel->pnp().loadCount("testfn"), 1);
  EXPECT_EQ(kernel->pnp().deviceFor(b)->driverKey,
            "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0001");
  kernel->pnp().deviceRemoved(a, Removal::Unplug);
  EXPECT_EQ(fn().unloads, 0) << "still in use by the second cable";
  kernel->pnp().deviceRemoved(b, Removal::Unplug);
  EXPECT_EQ(fn().unloads, 1);
  EXPECT_FALSE(kernel->pnp().driverLoaded("testfn"));
}

TEST_F(PnpTest, UnplugSendsRemoveAloneChildFirstThenUnloads) {
  PDEVICE_OBJECT pdo = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Unplug), STATUS_SUCCESS);
  Log expected = {"child:IRP_MN_REMOVE_DEVICE", "fdo:IRP_MN_REMOVE_DEVICE", "pdo:IRP_MN_REMOVE_DEVICE", "Unload"};
  EXPECT_EQ(pnpLog(), expected);
  for (auto& n : kernel->pnp().devices()) EXPECT_EQ(n.state, DevNodeState::Removed);
  // The child (deleted by its parent), the FDO and the PDO (deleted by the bus) are all gone: every
  // reference was given back.
  EXPECT_EQ(kernel->io().liveDevices(), 0u);
  EXPECT_FALSE(kernel->pnp().deviceFor(pdo).has_value());
}

TEST_F(PnpTest, OrderlyRemovalAsksFirstAndARefusalIsCancelled) {
  PDEVICE_OBJECT pdo = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  fn().refuseChildQueryRemove = true;
  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Orderly), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pnpLog(), (Log{"child:IRP_MN_QUERY_REMOVE_DEVICE", "child:IRP_MN_CANCEL_REMOVE_DEVICE"}));
  EXPECT_EQ(kernel->pnp().deviceFor(pdo)->state, DevNodeState::Started);

  fn().refuseChildQueryRemove = false;
  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Orderly), STATUS_SUCCESS);
  Log expected = {"child:IRP_MN_QUERY_REMOVE_DEVICE", "fdo:IRP_MN_QUERY_REMOVE_DEVICE", "pdo:IRP_MN_QUERY_REMOVE_DEVICE",
                  "child:IRP_MN_REMOVE_DEVICE",       "fdo:IRP_MN_REMOVE_DEVICE",       "pdo:IRP_MN_REMOVE_DEVICE",
                  "Unload"};
  EXPECT_EQ(pnpLog(), expected);
}

TEST_F(PnpTest, StopAndStartAgain) {
  PDEVICE_OBJECT pdo = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  int id = kernel->pnp().deviceFor(pdo)->id;
  fn().refuseQueryStop = true;
  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().stopDevice(id), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(only("fdo"), (Log{"fdo:IRP_MN_QUERY_STOP_DEVICE", "fdo:IRP_MN_CANCEL_STOP_DEVICE"}));
  EXPECT_EQ(kernel->pnp().device(id)->state, DevNodeState::Started);

  fn().refuseQueryStop = false;
  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().stopDevice(id), STATUS_SUCCESS);
  EXPECT_EQ(only("fdo"), (Log{"fdo:IRP_MN_QUERY_STOP_DEVICE", "fdo:IRP_MN_STOP_DEVICE"}));
  EXPECT_EQ(kernel->pnp().device(id)->state, DevNodeState::Stopped);
  EXPECT_EQ(kernel->pnp().stopDevice(id), STATUS_INVALID_DEVICE_STATE);

  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().startDevice(id), STATUS_SUCCESS);
  EXPECT_EQ(kernel->pnp().device(id)->state, DevNodeState::Started);
  // Only the driver asks for relations after a start that follows a stop; the child is not reported twice.
  EXPECT_EQ(only("fdo"), (Log{"fdo:IRP_MN_START_DEVICE", "fdo:start done", "fdo:IRP_MN_QUERY_DEVICE_RELATIONS"}));
  EXPECT_EQ(kernel->pnp().devices().size(), 2u);
  kernel->pnp().deviceRemoved(pdo, Removal::Unplug);
}

TEST_F(PnpTest, FailedAddDeviceLeavesAFailedDevnodeAndNoStart) {
  fn().failAdd = true;
  PDEVICE_OBJECT pdo = bus->plug();
  EXPECT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_INSUFFICIENT_RESOURCES);
  auto node = kernel->pnp().deviceFor(pdo);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->state, DevNodeState::Failed);
  EXPECT_TRUE(only("fdo").empty());
  EXPECT_EQ(fn().unloads, 1) << "a driver without devices is unloaded again";
  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Unplug), STATUS_SUCCESS);
  EXPECT_EQ(pnpLog(), (Log{"pdo:IRP_MN_REMOVE_DEVICE"}));
}

TEST_F(PnpTest, FailedStartIsFollowedByAStopAndTheStackStaysUntilRemoved) {
  PDEVICE_OBJECT pdo = bus->plug({}, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(only("fdo"), (Log{"fdo:IRP_MN_START_DEVICE", "fdo:start done", "fdo:IRP_MN_STOP_DEVICE"}));
  EXPECT_EQ(kernel->pnp().deviceFor(pdo)->state, DevNodeState::Failed);
  EXPECT_EQ(fn().unloads, 0) << "the FDO stays";
  EXPECT_NE(IoGetAttachedDevice(pdo), pdo);
  pnpLog().clear();
  EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Unplug), STATUS_SUCCESS);
  EXPECT_EQ(pnpLog(), (Log{"fdo:IRP_MN_REMOVE_DEVICE", "pdo:IRP_MN_REMOVE_DEVICE", "Unload"}));
  EXPECT_EQ(kernel->io().liveDevices(), 0u);
}

// A driver that does its clean-up only when asked first (IRP_MN_QUERY_REMOVE_DEVICE) leaks at an unplug,
// which asks nothing; one that cleans up in IRP_MN_REMOVE_DEVICE does not.
TEST_F(PnpTest, UnplugAsksNothingFirstSoCleanUpBelongsInTheRemove) {
  for (bool cleanUpInRemove : {false, true}) {
    pnpLog().clear();
    fn() = FnDriverState{};
    recordFaults();
    auto held = std::make_shared<void*>(nullptr);
    fn().fdoHook = [held, cleanUpInRemove](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
      UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
      if (minor == IRP_MN_START_DEVICE) *held = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
      bool cleanUp = minor == IRP_MN_QUERY_REMOVE_DEVICE || (cleanUpInRemove && minor == IRP_MN_REMOVE_DEVICE);
      if (cleanUp && *held != nullptr) {
        ExFreePool(*held);
        *held = nullptr;
      }
      return std::nullopt;
    };
    PDEVICE_OBJECT pdo = bus->plug();
    ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
    size_t leaksBefore = faults(Fault::PoolLeak);
    EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Unplug), STATUS_SUCCESS);
    EXPECT_EQ(std::count(pnpLog().begin(), pnpLog().end(), "fdo:IRP_MN_QUERY_REMOVE_DEVICE"), 0);
    EXPECT_EQ(faults(Fault::PoolLeak) - leaksBefore, cleanUpInRemove ? 0u : 1u);
    if (*held != nullptr) ExFreePool(*held);
  }
}

// After a failed start the stop path runs on a device that was never configured.
TEST_F(PnpTest, StopAfterAFailedStartMustNotAssumeTheStartWorked) {
  for (bool checks : {false, true}) {
    fn() = FnDriverState{};
    recordFaults();
    auto configured = std::make_shared<void*>(nullptr);
    fn().fdoHook = [configured, checks](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
      if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_STOP_DEVICE && (!checks || *configured)) {
        ExFreePool(*configured);  // what a successful start would have allocated
        *configured = nullptr;
      }
      return std::nullopt;
    };
    PDEVICE_OBJECT pdo = bus->plug({}, STATUS_DEVICE_NOT_CONNECTED);
    size_t before = faults(Fault::PoolUnknownBlock);
    EXPECT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(faults(Fault::PoolUnknownBlock) - before, checks ? 0u : 1u);
    kernel->pnp().deviceRemoved(pdo, Removal::Unplug);
  }
}

// The reference a bus driver takes on the PDO it reports is the manager's to drop: forgetting it frees the
// child under the manager; taking it (and leaving it alone) frees the child exactly when its parent goes.
TEST_F(PnpTest, BusRelationsReferenceBecomesTheManagers) {
  for (bool referenced : {false, true}) {
    fn() = FnDriverState{};
    fn().referenceChild = referenced;
    recordFaults();
    size_t before = faults(Fault::BadObject);
    PDEVICE_OBJECT pdo = bus->plug();
    ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
    kernel->pnp().deviceRemoved(pdo, Removal::Unplug);
    EXPECT_EQ(faults(Fault::BadObject) - before, referenced ? 0u : 1u);
    EXPECT_EQ(kernel->io().liveDevices(), 0u) << "nothing leaks";
  }
}

// After its start a bus driver meets two relations queries: the manager's own and the one its
// IoInvalidateDeviceRelations asked for. Only a driver that reports its child once has one child.
TEST_F(PnpTest, AChildReportedOnEveryRelationsQueryShowsUpTwice) {
  fn().childOnEveryQuery = true;
  recordFaults();
  PDEVICE_OBJECT pdo = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel->pnp().deviceFor(pdo)->children.size(), 2u);
  kernel->pnp().deviceRemoved(pdo, Removal::Unplug);
}

// "IoDeleteDevice": detach first. "IRP_MN_REMOVE_DEVICE": never fail it.
TEST_F(PnpTest, DeletingAnAttachedDeviceOrFailingARemoveIsReported) {
  recordFaults();
  fn().reportChild = false;
  fn().deleteBeforeDetach = true;
  PDEVICE_OBJECT a = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(a), STATUS_SUCCESS);
  kernel->pnp().deviceRemoved(a, Removal::Unplug);
  const size_t badObjects = faults(Fault::BadObject);
  EXPECT_GE(badObjects, 1u);

  fn().deleteBeforeDetach = false;
  fn().removeStatus = STATUS_UNSUCCESSFUL;
  PDEVICE_OBJECT b = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(b), STATUS_SUCCESS);
  EXPECT_EQ(kernel->pnp().deviceRemoved(b, Removal::Unplug), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(faults(Fault::BadCall), 1u);
  EXPECT_EQ(faults(Fault::BadObject), badObjects) << "the FDO was detached first";
}

TEST_F(PnpTest, ReloadAfterUnloadResetsTheImageBeforeDriverEntry) {
  PDEVICE_OBJECT a = bus->plug();
  kernel->pnp().deviceArrived(a);
  kernel->pnp().deviceRemoved(a, Removal::Unplug);
  PDEVICE_OBJECT b = bus->plug();
  pnpLog().clear();
  kernel->pnp().deviceArrived(b);
  EXPECT_EQ(kernel->pnp().loadCount("testfn"), 2);
  EXPECT_EQ(fn().resets, 2);
  Log loads = {pnpLog()[5], pnpLog()[6]};
  EXPECT_EQ(loads, (Log{"reset image", "DriverEntry"}));
  // The same device instance keeps its driver key across plugs.
  EXPECT_EQ(kernel->pnp().deviceFor(b)->driverKey,
            "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\0000");
  kernel->pnp().deviceRemoved(b, Removal::Unplug);
}

TEST_F(PnpTest, UnregisteredHardwareGetsADevnodeThatIsNotStarted) {
  PdoIds other;
  other.deviceId = "USB\\VID_1234&PID_5678";
  other.hardwareIds = {"USB\\VID_1234&PID_5678"};
  other.compatibleIds = {};
  PDEVICE_OBJECT pdo = bus->plug(other);
  EXPECT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  auto node = kernel->pnp().deviceFor(pdo);
  EXPECT_EQ(node->state, DevNodeState::Initialized);
  EXPECT_EQ(std::count(pnpLog().begin(), pnpLog().end(), "pdo:IRP_MN_START_DEVICE"), 0);
  EXPECT_TRUE(node->service.empty());
  EXPECT_EQ(fn().entries, 0);
  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
  kernel->pnp().deviceRemoved(pdo, Removal::Unplug);
}

TEST_F(PnpTest, InvalidatingRelationsOfAnUnknownDeviceIsReported) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& stray = drv.create();
  IoInvalidateDeviceRelations(stray.object, BusRelations);
  EXPECT_EQ(faults(Fault::BadObject), 1u);
}

}  // namespace
}  // namespace w98::test
