// Port numbers, kernel and DOS names, and "Port Name" with one and several cables, removal and reuse.
#include "driver_fixtures.h"

namespace testrig {
namespace {

// UTF-16LE bytes of an ASCII text, without a NUL: how "Port Name" is stored.
std::vector<uint8_t> Utf16(const std::string& text)
{
    std::vector<uint8_t> bytes;
    for (char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

bool PortTaken(int index)
{
    return (PortNumberMap[index / 32] & (0x80000000u >> (index % 32))) != 0;
}

class PortNames : public MachineTest {
protected:
    void expectPortName(int number, const std::string& expected)
    {
        const w98::DevNodeInfo node = devnode(number);
        for (const std::string& key : {node.driverKey, node.deviceKey}) {
            const auto value = portName(key);
            ASSERT_TRUE(value.has_value()) << key;
            EXPECT_EQ(value->type, w98::RegType::Sz) << key;
            EXPECT_EQ(value->data, Utf16(expected)) << key;
        }
    }
    void expectNames(int number, const std::string& kernelName, const std::string& dosName)
    {
        FdoExtension& ext = extension(number);
        EXPECT_EQ(Narrow(ext.DeviceName), kernelName);
        EXPECT_EQ(Narrow(ext.DosDeviceName), dosName);
        EXPECT_EQ(kernel().io().findDevice(kernelName), reinterpret_cast<_DEVICE_OBJECT*>(fdo(number)));
        EXPECT_EQ(kernel().io().symbolicLinkTarget(dosName).value_or("<none>"), kernelName);
    }
};

TEST_F(PortNames, FirstAndSecondCableGetConsecutivePortsAndNames)
{
    const int first = plug();
    expectPortName(first, "KVUSB1");
    expectNames(first, "\\Device\\KVUSB00", "\\DosDevices\\KVUSB1");
    EXPECT_EQ(extension(first).PortIndex, 0);

    const int second = plug();
    expectPortName(second, "KVUSB2");
    expectNames(second, "\\Device\\KVUSB01", "\\DosDevices\\KVUSB2");
    EXPECT_EQ(extension(second).PortIndex, 1);
    EXPECT_EQ(DeviceNameCounter, 2);
    EXPECT_TRUE(PortTaken(0));
    EXPECT_TRUE(PortTaken(1));
    EXPECT_FALSE(PortTaken(2));
}

TEST_F(PortNames, RemovalEmptiesPortNameAndTheNumbersAreReused)
{
    const int first = plug();
    const int second = plug();
    const w98::DevNodeInfo firstNode = devnode(first);

    EXPECT_EQ(machine().unplug(first), kSuccess);
    for (const std::string& key : {firstNode.driverKey, firstNode.deviceKey}) {
        const auto value = portName(key);
        ASSERT_TRUE(value.has_value()) << key;
        EXPECT_EQ(value->type, w98::RegType::Sz);
        EXPECT_TRUE(value->data.empty()) << key << " still holds a port name";
    }
    EXPECT_FALSE(PortTaken(0));
    EXPECT_EQ(DeviceNameCounter, 1);
    EXPECT_FALSE(kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB1").has_value());
    EXPECT_EQ(kernel().io().findDevice("\\Device\\KVUSB00"), nullptr);

    // The third cable takes the freed port number and the lowest kernel name nobody holds, even though
    // the second cable still holds \Device\KVUSB01.
    const int third = plug();
    expectPortName(third, "KVUSB1");
    expectNames(third, "\\Device\\KVUSB00", "\\DosDevices\\KVUSB1");
    expectNames(second, "\\Device\\KVUSB01", "\\DosDevices\\KVUSB2");
    EXPECT_EQ(devnode(third).state, w98::DevNodeState::Started);
}

TEST_F(PortNames, AddDeviceThatCannotAttachGivesBackItsNumbersAndObjects)
{
    const int first = plug();
    const size_t blocks = kernel().pool().outstanding(w98::kDriverPoolTag).size();
    const size_t devices = kernel().io().liveDevices();
    kernel().io().refuseAttachments(1);
    const int refused = plug();
    EXPECT_NE(devnode(refused).state, w98::DevNodeState::Started);
    EXPECT_EQ(DeviceNameCounter, 1);
    EXPECT_FALSE(PortTaken(1));
    for (const std::string& key : {devnode(refused).driverKey, devnode(refused).deviceKey}) {
        const auto value = portName(key);
        EXPECT_TRUE(!value || value->data.empty()) << key << " still names a port the cable does not have";
    }
    EXPECT_EQ(kernel().io().findDevice("\\Device\\KVUSB01"), nullptr);
    EXPECT_EQ(kernel().pool().outstanding(w98::kDriverPoolTag).size(), blocks);
    EXPECT_EQ(kernel().io().liveDevices(), devices + 1);  // the refused cable's PDO, nothing of the driver's
    // The numbers the refused cable held go to the next one.
    const int next = plug();
    expectPortName(next, "KVUSB2");
    expectNames(next, "\\Device\\KVUSB01", "\\DosDevices\\KVUSB2");
    expectNames(first, "\\Device\\KVUSB00", "\\DosDevices\\KVUSB1");
}

TEST_F(PortNames, RemovingTheSecondOfThreeFreesTheMiddleNumbers)
{
    const int a = plug();
    const int b = plug();
    const int c = plug();
    EXPECT_EQ(machine().unplug(b), kSuccess);
    const int d = plug();
    expectNames(d, "\\Device\\KVUSB01", "\\DosDevices\\KVUSB2");
    expectPortName(d, "KVUSB2");
    expectNames(a, "\\Device\\KVUSB00", "\\DosDevices\\KVUSB1");
    expectNames(c, "\\Device\\KVUSB02", "\\DosDevices\\KVUSB3");
}

TEST_F(PortNames, PortNumbersAboveNineKeepEveryDigit)
{
    const int first = plug();
    // Ports 2 to 9 and 11 to 126 are taken (the map is the driver's, so set it once the driver is loaded);
    // the next cables get 10, 127 and 128.
    for (int index = 1; index < 126; ++index) {
        if (index != 9) PortNumberMap[index / 32] |= 0x80000000u >> (index % 32);
    }
    const int ten = plug();
    expectPortName(ten, "KVUSB10");
    expectNames(ten, "\\Device\\KVUSB01", "\\DosDevices\\KVUSB10");
    const int last = plug();
    expectPortName(last, "KVUSB127");
    expectNames(last, "\\Device\\KVUSB02", "\\DosDevices\\KVUSB127");
    const int top = plug();
    expectPortName(top, "KVUSB128");
    expectNames(top, "\\Device\\KVUSB03", "\\DosDevices\\KVUSB128");
    // The port name inside the DOS name, as the child's instance id takes it, keeps every digit too.
    EXPECT_EQ(Narrow(PortNameOfDosName(extension(top).DosDeviceName)), "KVUSB128");
    EXPECT_EQ(Narrow(PortNameOfDosName(extension(ten).DosDeviceName)), "KVUSB10");

    // Every port number is now taken: the next cable is refused and nothing of it is left behind.
    const int refused = plug();
    const w98::DevNodeInfo node = devnode(refused);
    EXPECT_EQ(node.state, w98::DevNodeState::Failed);
    EXPECT_EQ(node.status, kObjectNameCollision);
    EXPECT_FALSE(portName(node.deviceKey).has_value());
    EXPECT_EQ(DeviceNameCounter, 4);
    EXPECT_EQ(kernel().io().findDevice("\\Device\\KVUSB04"), nullptr);

    // Removing a cable makes its number free for the refused one's successor.
    EXPECT_EQ(machine().unplug(last), kSuccess);
    const int again = plug();
    expectPortName(again, "KVUSB127");
    expectNames(again, "\\Device\\KVUSB02", "\\DosDevices\\KVUSB127");
    expectNames(first, "\\Device\\KVUSB00", "\\DosDevices\\KVUSB1");
}

TEST_F(PortNames, KernelNamesGoPastNinetyNine)
{
    // Other devices already hold \Device\KVUSB00 .. \Device\KVUSB99.
    std::vector<PDEVICE_OBJECT> holders;
    PDRIVER_OBJECT bus = reinterpret_cast<PDRIVER_OBJECT>(usb().driverObject());
    for (int n = 0; n < 100; ++n) {
        WCHAR name[NAME_BUFFER_UNITS];
        BuildDeviceName(name, NAME_BUFFER_UNITS, static_cast<USHORT>(n));
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(bus, 0, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), kSuccess);
        holders.push_back(device);
    }
    const int number = plug();
    expectNames(number, "\\Device\\KVUSB100", "\\DosDevices\\KVUSB1");
    EXPECT_EQ(devnode(number).state, w98::DevNodeState::Started);
    EXPECT_EQ(machine().unplug(number), kSuccess);
    for (PDEVICE_OBJECT device : holders) IoDeleteDevice(device);
}

TEST_F(PortNames, BuildersWriteTerminatedNamesWithinTheBuffer)
{
    WCHAR buffer[8];
    for (WCHAR& unit : buffer) unit = L'#';
    BuildDeviceName(buffer, 8, 5);  // "\Device\KVUSB05" does not fit: cut, still terminated
    EXPECT_EQ(Narrow(buffer), "\\Device");
    WCHAR full[NAME_BUFFER_UNITS];
    BuildDeviceName(full, NAME_BUFFER_UNITS, 7);
    EXPECT_EQ(Narrow(full), "\\Device\\KVUSB07");
    BuildDeviceName(full, NAME_BUFFER_UNITS, 123);
    EXPECT_EQ(Narrow(full), "\\Device\\KVUSB123");
    BuildDosDeviceName(full, NAME_BUFFER_UNITS, 0);
    EXPECT_EQ(Narrow(full), "\\DosDevices\\KVUSB1");
    BuildDosDeviceName(full, NAME_BUFFER_UNITS, 41);
    EXPECT_EQ(Narrow(full), "\\DosDevices\\KVUSB42");
    EXPECT_EQ(WideLength(full), 19u);
}

}  // namespace
}  // namespace testrig
