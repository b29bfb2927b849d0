// SELECT_CONFIGURATION: pipe records filled from the descriptors, alternate settings, unconfiguring and
// the URBs that are too small for what they describe.
#include "bus_fixture.h"

using namespace usbtest;

namespace usbtest {

class ConfigTest : public BusTest {
 protected:
  void SetUp() override {
    port = bus.plug(device);
    ASSERT_NE(port, 0);
    pdo = bus.pdo(port);
    config = device->configDescriptor;
    bus.log().clear();
  }
  PUSB_CONFIGURATION_DESCRIPTOR cd() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()); }
};

}  // namespace usbtest

TEST_F(ConfigTest, SelectFillsHandlesAndPipeRecordsFromTheDescriptors) {
  auto u = selectUrb(cd(), 0, 0, 2, 1024);
  u->UrbSelectConfiguration.Interface.Pipes[1].PipeFlags = USBD_PF_SHORT_PACKET_OPT;
  EXPECT_EQ(submit(u.get()), STATUS_SUCCESS);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_NE(u->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  const auto& info = u->UrbSelectConfiguration.Interface;
  EXPECT_NE(info.InterfaceHandle, nullptr);
  EXPECT_EQ(info.Class, 0xFF);
  EXPECT_EQ(info.SubClass, 0x01);
  EXPECT_EQ(info.Protocol, 0x02);
  ASSERT_EQ(info.NumberOfPipes, 2u);
  EXPECT_EQ(info.Pipes[0].EndpointAddress, 0x02);
  EXPECT_EQ(info.Pipes[1].EndpointAddress, 0x82);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(info.Pipes[i].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(info.Pipes[i].MaximumPacketSize, 64);
    EXPECT_EQ(info.Pipes[i].MaximumTransferSize, 1024u);  // kept as the driver asked
    EXPECT_NE(info.Pipes[i].PipeHandle, nullptr);
  }
  EXPECT_NE(info.Pipes[0].PipeHandle, info.Pipes[1].PipeHandle);
  EXPECT_EQ(info.Pipes[0].PipeFlags, 0u);
  EXPECT_EQ(info.Pipes[1].PipeFlags, ULONG(USBD_PF_SHORT_PACKET_OPT));

  auto log = controlLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].setup, (SetupPacket{0x00, 9, 1, 0, 0}));
  EXPECT_EQ(log[0].urbFunction, URB_FUNCTION_SELECT_CONFIGURATION);
}

TEST_F(ConfigTest, AlternateSettingAddsSetInterfaceOnTheWire) {
  auto u = selectUrb(cd(), 0, 1, 1);
  EXPECT_EQ(submit(u.get()), STATUS_SUCCESS);
  ASSERT_EQ(u->UrbSelectConfiguration.Interface.NumberOfPipes, 1u);
  EXPECT_EQ(u->UrbSelectConfiguration.Interface.Pipes[0].EndpointAddress, 0x03);
  auto log = controlLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].setup, (SetupPacket{0x00, 9, 1, 0, 0}));
  EXPECT_EQ(log[1].setup, (SetupPacket{0x01, 11, 1, 0, 0}));
  EXPECT_EQ(device->setupsSeen().back(), log[1].setup);
}

TEST_F(ConfigTest, UrbTooSmallForTheInterfacesPipesIsRefused) {
  // Room for one pipe, but alternate 0 has two endpoints.
  auto u = selectUrb(cd(), 0, 0, 1);
  EXPECT_EQ(submit(u.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(bus.log().size(), 0u);

  // Interface record big enough, URB length claiming less.
  auto v = selectUrb(cd(), 0, 0, 2);
  v->UrbHeader.Length = USHORT(v->UrbHeader.Length - sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(submit(v.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(v->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);

  // A URB that ends before the interface record.
  UrbBlock w(sizeof(struct _URB_SELECT_CONFIGURATION));
  UsbBuildSelectConfigurationRequest(w.get(), sizeof(struct _URB_HEADER) + sizeof(PVOID), cd());
  EXPECT_EQ(submit(w.get()), STATUS_INVALID_PARAMETER);
}

TEST_F(ConfigTest, UnknownInterfaceOrBrokenDescriptorIsRefused) {
  auto u = selectUrb(cd(), 3, 0, 2);
  EXPECT_EQ(submit(u.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);

  std::vector<uint8_t> broken = config;
  broken[1] = USB_DEVICE_DESCRIPTOR_TYPE;
  auto v = selectUrb(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(broken.data()), 0, 0, 2);
  EXPECT_EQ(submit(v.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(v->UrbHeader.Status, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

  // Interface claims two endpoints but the descriptor ends after one.
  std::vector<uint8_t> cut(config.begin(), config.begin() + 9 + 9 + 7);
  cut[2] = uint8_t(cut.size());
  auto w = selectUrb(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cut.data()), 0, 0, 2);
  EXPECT_EQ(submit(w.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.log().size(), 0u);
}

TEST_F(ConfigTest, NullDescriptorUnconfiguresAndOldPipesStopWorking) {
  configure(0);
  USBD_PIPE_HANDLE old = outPipe;
  bus.log().clear();
  UrbBlock u(sizeof(struct _URB_SELECT_CONFIGURATION));
  // Windows 98's length: the request up to its interface record and that record without pipes. The whole
  // structure's size (newer headers' habit) is refused.
  UsbBuildSelectConfigurationRequest(u.get(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(submit(u.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(controlLog().empty());
  UsbBuildSelectConfigurationRequest(
      u.get(), offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes),
      nullptr);
  EXPECT_EQ(submit(u.get()), STATUS_SUCCESS);
  EXPECT_EQ(controlLog().at(0).setup, (SetupPacket{0x00, 9, 0, 0, 0}));

  uint8_t data[4] = {1, 2, 3, 4};
  auto b = bulkUrb(old, data, 4, 0);
  EXPECT_EQ(submit(b.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(ConfigTest, ReselectingEndsTransfersOfTheOldPipesAndGivesNewHandles) {
  configure(0);
  USBD_PIPE_HANDLE oldIn = inPipe;
  uint8_t buffer[64];
  auto read = bulkUrb(oldIn, buffer, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  AsyncUrb pending(kernel, pdo, read.get());
  EXPECT_FALSE(pending.wait(5 * w98::Clock::kMillisecond));  // nothing to read: NAKed
  // A control request in flight on the default pipe is not the configuration's business.
  bus.faults().failNext(1, w98::FaultAction::Hang);
  uint8_t regs[7];
  auto control = vendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 3, 1, 0, regs, 7);
  AsyncUrb hung(kernel, pdo, control.get());

  configure(0);
  ASSERT_TRUE(pending.done());
  EXPECT_EQ(pending.status(), STATUS_CANCELLED);
  EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_NE(inPipe, oldIn);
  EXPECT_FALSE(hung.done());
  hung.cancel();
  EXPECT_TRUE(hung.wait());
}

TEST_F(ConfigTest, DriverSideUsbdRoutinesBuildAWorkingRequest) {
  auto* id = USBD_ParseConfigurationDescriptorEx(cd(), cd(), 0, 0, -1, -1, -1);
  ASSERT_NE(id, nullptr);
  USBD_INTERFACE_LIST_ENTRY list[2] = {{id, nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(cd(), list);
  ASSERT_NE(urb, nullptr);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
  EXPECT_EQ(submit(urb), STATUS_SUCCESS);
  EXPECT_EQ(list[0].Interface->Pipes[1].EndpointAddress, 0x82);
  ExFreePool(urb);

  USHORT size = 0;
  PURB legacy = USBD_CreateConfigurationRequest(cd(), &size);
  ASSERT_NE(legacy, nullptr);
  EXPECT_EQ(size, legacy->UrbHeader.Length);
  EXPECT_GE(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
  EXPECT_EQ(submit(legacy), STATUS_SUCCESS);
  ExFreePool(legacy);
}
