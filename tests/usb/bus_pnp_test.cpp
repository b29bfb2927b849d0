// Plugging and unplugging: enumeration, the PDO's ids and capabilities as Plug and Play sees them, removal.
#include "bus_fixture.h"

using namespace usbtest;

namespace {
class PnpTest : public BusTest {};
}  // namespace

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
  bus.unplug(a, true);
  EXPECT_FALSE(bus.plugged(a));
  auto third = std::make_shared<FakeDevice>();
  EXPECT_EQ(bus.plug(third), 1);  // the lowest free port again
}

TEST_F(PnpTest, UnplugRemovesTheDevnodeAndDeletesThePdo) {
  for (bool surprise : {true, false}) {
    port = bus.plug(device);
    pdo = bus.pdo(port);
    auto node = kernel.pnp().deviceFor(pdo);
    ASSERT_TRUE(node);
    int id = node->id;
    EXPECT_EQ(bus.unplug(port, surprise), STATUS_SUCCESS);
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
  bus.unplug(port, true);
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
