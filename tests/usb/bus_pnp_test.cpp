// Plugging and unplugging: enumeration, the PDO's ids and capabilities as Plug and Play sees them, removal.
#include "bus_fixture.h"

using namespace usbtest;

namespace usbtest {
class PnpTest : public BusTest {};
}  // namespace usbtest

TEST_F(PnpTest, PlugEnumeratesQuietlyAndReportsTheDevice) {
  port = bus.plug(device);
  ASSERT_EQ(port, 1);
  EXPECT_TRUE(bus.plugged(port));
  EXPECT_EQ(bus.ports(), std::vector<int>{1});
  pdo = bus.pdo(port);
  ASSERT_NE(pdo, nullptr);
  EXPECT_TRUE(pdo->Flags & DO_BUS_ENUMERATED_DEVICE);
  EXPECT_FALSE(pdo->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(pdo->DriverObject, bus.driverObject());

  // The hub's own enumeration: address first, then the descriptors. None of it is driver traffic.
  auto setups = device->setupsSeen();
  ASSERT_GE(setups.size(), 3u);
  EXPECT_EQ(setups[0], (SetupPacket{0x00, 5, bus.address(port), 0, 0}));
  EXPECT_EQ(setups[1], (SetupPacket{0x80, 6, 0x0100, 0, 18}));
  EXPECT_EQ(setups[2], (SetupPacket{0x80, 6, 0x0200, 0, 9}));
  EXPECT_EQ(bus.log().size(), 0u);
  EXPECT_EQ(bus.nextRequestIndex(), 0u);

  auto node = kernel.pnp().deviceFor(pdo);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->deviceId, "USB\\VID_1234&PID_5678");
  EXPECT_EQ(node->instanceId, "1");
  EXPECT_EQ(node->hardwareIds, (std::vector<std::string>{"USB\\VID_1234&PID_5678&REV_0200", "USB\\VID_1234&PID_5678"}));
  EXPECT_EQ(node->compatibleIds, (std::vector<std::string>{"USB\\Class_FF&SubClass_01&Prot_02",
                                                            "USB\\Class_FF&SubClass_01", "USB\\Class_FF"}));
  EXPECT_TRUE(node->surpriseRemovalOk);
}

TEST_F(PnpTest, PortsAndInstanceIdsAreGivenOut) {
  auto second = std::make_shared<FakeDevice>();
  int a = bus.plug(device);
  w98::PortOptions options;
  options.instanceId = "CABLE-7";
  int b = bus.plug(second, options);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_NE(bus.address(a), bus.address(b));
  EXPECT_EQ(kernel.pnp().deviceFor(bus.pdo(b))->instanceId, "CABLE-7");
  bus.unplug(a);
  EXPECT_FALSE(bus.plugged(a));
  auto third = std::make_shared<FakeDevice>();
  EXPECT_EQ(bus.plug(third), 1);  // the lowest free port again
}

TEST_F(PnpTest, UnplugRemovesTheDevnodeAndDeletesThePdo) {
  for (bool orderly : {false, true}) {
    port = bus.plug(device);
    pdo = bus.pdo(port);
    auto node = kernel.pnp().deviceFor(pdo);
    ASSERT_TRUE(node);
    int id = node->id;
    EXPECT_EQ(orderly ? bus.remove(port) : bus.unplug(port), STATUS_SUCCESS);
    EXPECT_FALSE(bus.plugged(port));
    EXPECT_EQ(bus.pdo(port), nullptr);
    EXPECT_EQ(kernel.pnp().device(id)->state, w98::DevNodeState::Removed);
    EXPECT_FALSE(kernel.io().isLive(pdo));
  }
  EXPECT_EQ(bus.unplug(9), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(bus.unplug(1), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpTest, UrbsAfterUnplugFailWithDeviceGone) {
  plugAndConfigure();
  // Keep the PDO alive while the test still sends to it.
  ObfReferenceObject(pdo);
  bus.unplug(port);
  uint8_t regs[7];
  auto u = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, regs, 7);
  EXPECT_EQ(submit(u.get()), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  ObfDereferenceObject(pdo);
}

TEST_F(PnpTest, EnumerationFailureLeavesNoPort) {
  device->controlHook = [](const SetupPacket& s, std::span<uint8_t>) -> std::optional<TransferResult> {
    if (s.bRequest == USB_REQUEST_GET_DESCRIPTOR) return TransferResult::stall();
    return std::nullopt;
  };
  EXPECT_EQ(bus.plug(device), 0);
  EXPECT_TRUE(bus.ports().empty());
  EXPECT_EQ(bus.plug(nullptr), 0);
}

TEST(UsbBusLifetime, PdoKeptByAReferenceOutlivesTheBus) {
  w98::Registry registry;
  w98::Kernel kernel(registry);
  auto bus = std::make_unique<w98::UsbBus>(kernel);
  auto device = std::make_shared<FakeDevice>();
  int port = bus->plug(device);
  ASSERT_NE(port, 0);
  PDEVICE_OBJECT pdo = bus->pdo(port);
  ObfReferenceObject(pdo);
  bus.reset();
  ASSERT_TRUE(kernel.io().isLive(pdo));
  uint8_t regs[7];
  auto u = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, regs, 7);
  AsyncUrb a(kernel, pdo, u.get());
  EXPECT_TRUE(a.done());
  EXPECT_EQ(a.status(), STATUS_DEVICE_NOT_CONNECTED);
  ObfDereferenceObject(pdo);
}

// A function driver over the fake device that keeps two reads queued on its IN pipe, as a driver reading
// ahead does, and at its remove waits for them before it passes the remove down. On Windows 98 the unplug
// sends that remove alone, and the bus fails only the read it was carrying: a driver that does not abort its
// pipe first waits for the queued read forever.
namespace {
struct ReadAheadDriver {
  bool abortInRemove = false;
  w98::Kernel* kernel = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  std::vector<uint8_t> config;
  std::vector<UrbBlock> urbs;
  std::vector<std::unique_ptr<AsyncUrb>> reads;
  uint8_t buffer[128] = {};
  bool readsDoneAtRemove = false;
  NTSTATUS carriedStatus = 0;
};
ReadAheadDriver& readAhead() {
  static ReadAheadDriver state;
  return state;
}

NTSTATUS ReadAheadPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  auto& s = readAhead();
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_START_DEVICE) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
        TRUE, TRUE);
    IofCallDriver(s.lower, irp);  // the bus completes its start at once
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(s.config.data());
    auto select = selectUrb(cd, 0, 0, 2);
    AsyncUrb(*s.kernel, s.lower, select.get()).wait();
    USBD_PIPE_HANDLE in = select->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle;
    for (int i = 0; i < 2; ++i) {
      s.urbs.push_back(bulkUrb(in, s.buffer + 64 * i, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
      s.reads.push_back(std::make_unique<AsyncUrb>(*s.kernel, s.lower, s.urbs.back().get()));
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  if (minor == IRP_MN_REMOVE_DEVICE) {
    s.carriedStatus = s.reads[0]->done() ? s.reads[0]->status() : STATUS_PENDING;
    if (s.abortInRemove) {
      auto abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, s.urbs[0]->UrbBulkOrInterruptTransfer.PipeHandle);
      AsyncUrb(*s.kernel, s.lower, abort.get()).wait();
    }
    // Stands in for an untimed wait: ten seconds of virtual time is forever on this bus.
    s.readsDoneAtRemove = s.reads[0]->wait() && s.reads[1]->wait();
    PDEVICE_OBJECT lower = s.lower;
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(s.lower, irp);
}

NTSTATUS ReadAheadAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  readAhead().lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  return STATUS_SUCCESS;
}

NTSTATUS ReadAheadEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = ReadAheadPnp;
  driver->DriverExtension->AddDevice = ReadAheadAddDevice;
  return STATUS_SUCCESS;
}
}  // namespace

TEST_F(PnpTest, UnplugLeavesQueuedTransfersToTheDriverThatMustAbortThem) {
  w98::DriverRegistration registration;
  registration.hardwareId = "USB\\VID_1234&PID_5678";
  registration.entry = ReadAheadEntry;
  registration.service = "readahead";
  kernel.pnp().registerDriver(registration);
  for (bool aborts : {false, true}) {
    readAhead() = ReadAheadDriver{};
    readAhead().abortInRemove = aborts;
    readAhead().kernel = &kernel;
    readAhead().config = device->configDescriptor;
    port = bus.plug(device);
    ASSERT_EQ(readAhead().reads.size(), 2u);
    EXPECT_EQ(bus.unplug(port), STATUS_SUCCESS);
    EXPECT_EQ(readAhead().carriedStatus, STATUS_UNSUCCESSFUL) << "the read being carried fails at the unplug";
    EXPECT_EQ(readAhead().readsDoneAtRemove, aborts);
    readAhead().reads.clear();
  }
}
