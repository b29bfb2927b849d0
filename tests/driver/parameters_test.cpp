// The driver's registry parameters: defaults, values present, absent and changed between cables, and
// what the start makes of them.
#include "driver_fixtures.h"

namespace testrig {
namespace {

// A cable whose interface 3 has alternate settings 0 (one bulk OUT pipe) and 1 (OUT and IN), besides the
// usual interface 2.
w98::CableOptions TwoInterfaceCable()
{
    w98::CableOptions options = MachineTest::syncCable();
    sim::InterfaceConfig extra;
    extra.number = 3;
    sim::AlternateConfig single;
    single.alternateSetting = 0;
    single.endpoints = {sim::EndpointConfig{0x02, 0x02, 64, 0}};
    sim::AlternateConfig dual;
    dual.alternateSetting = 1;
    dual.endpoints = {sim::EndpointConfig{0x03, 0x02, 64, 0}, sim::EndpointConfig{0x84, 0x02, 64, 0}};
    extra.alternates = {single, dual};
    options.cable.interfaces.push_back(extra);
    return options;
}

using RegistryParameters = MachineTest;

TEST_F(RegistryParameters, AbsentValuesGiveTheBuiltInDefaults)
{
    const int number = plugWithParameters("D1A", "0100", DriverParameters{});
    EXPECT_EQ(IFSetting, 2);
    EXPECT_EQ(AltSetting, 0);
    EXPECT_EQ(MaxTransferSize, 1024u);

    FdoExtension& ext = extension(number);
    ASSERT_NE(ext.Interface, nullptr);
    EXPECT_EQ(ext.Interface->InterfaceNumber, 2);
    EXPECT_EQ(ext.Interface->AlternateSetting, 0);
    ASSERT_EQ(ext.Interface->NumberOfPipes, 2u);
    for (ULONG i = 0; i < ext.Interface->NumberOfPipes; ++i) {
        EXPECT_EQ(ext.Interface->Pipes[i].MaximumTransferSize, 1024u);
        EXPECT_EQ(ext.Interface->Pipes[i].PipeFlags, 0u);
    }
    EXPECT_EQ(ext.Interface->Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(ext.Interface->Pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(cable(number).configuration(), 1);
    EXPECT_EQ(cable(number).alternateSetting(2).value_or(0xFF), 0);
}

TEST_F(RegistryParameters, PresentValuesSteerTheSelectedInterface)
{
    const int number = plugWithParameters("D1B", "0101", DriverParameters{1, 3, 4096}, TwoInterfaceCable());
    EXPECT_EQ(IFSetting, 3);
    EXPECT_EQ(AltSetting, 1);
    EXPECT_EQ(MaxTransferSize, 4096u);

    FdoExtension& ext = extension(number);
    ASSERT_NE(ext.Interface, nullptr);
    EXPECT_EQ(ext.Interface->InterfaceNumber, 3);
    EXPECT_EQ(ext.Interface->AlternateSetting, 1);
    ASSERT_EQ(ext.Interface->NumberOfPipes, 2u);
    EXPECT_EQ(ext.Interface->Pipes[0].EndpointAddress, 0x03);
    EXPECT_EQ(ext.Interface->Pipes[1].EndpointAddress, 0x84);
    EXPECT_EQ(ext.Interface->Pipes[0].MaximumTransferSize, 4096u);
    EXPECT_EQ(ext.Interface->Pipes[1].MaximumTransferSize, 4096u);
    EXPECT_EQ(cable(number).alternateSetting(3).value_or(0xFF), 1);
}

TEST_F(RegistryParameters, OnlyTheLowByteOfTheSettingsCounts)
{
    plugWithParameters("D1C", "0102", DriverParameters{0x100, 0x302, 0x12345678});
    EXPECT_EQ(AltSetting, 0);
    EXPECT_EQ(IFSetting, 2);
    EXPECT_EQ(MaxTransferSize, 0x12345678u);
}

TEST_F(RegistryParameters, ValuesReadForOneCableHoldForTheNextUntilChanged)
{
    const int first = plugWithParameters("D1D", "0103", DriverParameters{std::nullopt, std::nullopt, 4096});
    EXPECT_EQ(MaxTransferSize, 4096u);
    EXPECT_EQ(extension(first).Interface->Pipes[0].MaximumTransferSize, 4096u);

    // Nothing in the second cable's key: the first cable's value stays in force.
    const int second = plugWithParameters("D1E", "0104", DriverParameters{});
    EXPECT_EQ(MaxTransferSize, 4096u);
    EXPECT_EQ(extension(second).Interface->Pipes[0].MaximumTransferSize, 4096u);

    // A value in the third cable's key changes it for every cable from now on.
    const int third = plugWithParameters("D1F", "0105", DriverParameters{std::nullopt, std::nullopt, 512});
    EXPECT_EQ(MaxTransferSize, 512u);
    EXPECT_EQ(extension(third).Interface->Pipes[1].MaximumTransferSize, 512u);
    // The earlier cables keep the configuration their start selected.
    EXPECT_EQ(extension(first).Interface->Pipes[0].MaximumTransferSize, 4096u);
}

TEST_F(RegistryParameters, AnInterfaceTheCableLacksFailsTheStart)
{
    const int number = plugWithParameters("D1G", "0106", DriverParameters{std::nullopt, 5, std::nullopt});
    const w98::DevNodeInfo node = devnode(number);
    EXPECT_EQ(node.state, w98::DevNodeState::Failed);
    EXPECT_EQ(node.status, kInvalidParameter);
    // The failed device is stopped, not removed: no DOS name; its port number stays until the cable goes.
    EXPECT_FALSE(kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB1").has_value());
    EXPECT_EQ(PortNumberMap[0], 0x80000000u);
    machine().unplug(number);
    EXPECT_EQ(PortNumberMap[0], 0u);
    const auto value = portName(node.deviceKey);
    ASSERT_TRUE(value.has_value());
    EXPECT_TRUE(value->data.empty());
}

}  // namespace
}  // namespace testrig
