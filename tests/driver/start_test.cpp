// The start: the order of its requests on the wire, the descriptors and configuration it keeps, interface
// selection, failures at each descriptor step, restart after stop, and every allocation failing in turn.
#include "driver_fixtures.h"

#include <set>

namespace testrig {
namespace {

// A cable whose interface 2 has a single bulk OUT endpoint.
w98::CableOptions OnePipeCable()
{
    w98::CableOptions options = MachineTest::silentPrinterCable();
    sim::AlternateConfig single;
    single.endpoints = {sim::EndpointConfig{0x01, 0x02, 64, 0}};
    options.cable.interfaces.front().alternates = {single};
    return options;
}

// Length of the interface information the driver keeps for `pipes` pipes.
size_t InterfaceLength(size_t pipes)
{
    return sizeof(USBD_INTERFACE_INFORMATION) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION);
}

w98::FaultRule FailAt(uint64_t index)
{
    w98::FaultRule rule;
    rule.match.requestIndex = index;
    rule.action = w98::FaultAction::Error;
    return rule;
}

class Start : public MachineTest {
protected:
    size_t blockSize(const void* p)
    {
        auto block = kernel().pool().block(p);
        return block ? block->size : 0;
    }
    PUSB_CONFIGURATION_DESCRIPTOR configuration(int number) { return extension(number).ConfigurationDescriptor; }
};

TEST_F(Start, RequestsGoOutInOrderAndTheDescriptorsAreKept)
{
    const int number = plug();
    const auto records = controlRecords();
    ASSERT_GE(records.size(), 6u);
    EXPECT_EQ(records[0].setup, Packet(0x23, 2, 0, 0, 0));           // SOFT_RESET
    EXPECT_EQ(records[1].setup, Packet(0x80, 6, 0x0100, 0, 18));     // device descriptor
    EXPECT_EQ(records[2].setup, Packet(0x80, 6, 0x0200, 0, 9));      // configuration descriptor alone
    EXPECT_EQ(records[3].setup, Packet(0x80, 6, 0x0200, 0, 32 + 16)); // all of it, into wTotalLength + 16
    EXPECT_EQ(records[4].setup, Packet(0x00, 9, 1, 0, 0));           // SET_CONFIGURATION
    EXPECT_EQ(records[5].setup, Packet(0x40, 4, 0x07F8, 0, 0));      // the device-ID exchange begins
    // InitPortRegisters ends the start.
    const size_t n = records.size();
    EXPECT_EQ(records[n - 5].setup, Packet(0x40, 4, 0x07F8, 0, 0));
    EXPECT_EQ(records[n - 4].setup, Packet(0x40, 4, 0x0643, 0, 0));
    EXPECT_EQ(records[n - 3].setup, Packet(0x40, 4, 0x024C, 0, 0));
    EXPECT_EQ(records[n - 2].setup, Packet(0x40, 4, 0x0801, 0, 0));
    EXPECT_EQ(records[n - 1].setup, Packet(0xC0, 3, 1, 0, 7));

    FdoExtension& ext = extension(number);
    ASSERT_NE(ext.DeviceDescriptor, nullptr);
    const auto& device = cable(number).deviceDescriptor();
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(ext.DeviceDescriptor),
                                   reinterpret_cast<uint8_t*>(ext.DeviceDescriptor) + 18),
              device);
    ASSERT_NE(ext.ConfigurationDescriptor, nullptr);
    const auto& config = cable(number).configurationDescriptor();
    ASSERT_EQ(config.size(), 32u);
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(ext.ConfigurationDescriptor),
                                   reinterpret_cast<uint8_t*>(ext.ConfigurationDescriptor) + 32),
              config);
    EXPECT_EQ(blockSize(ext.ConfigurationDescriptor), 48u);
    EXPECT_EQ(blockSize(ext.DeviceDescriptor), 18u);
    EXPECT_EQ(blockSize(ext.DeviceId), 1024u);
    EXPECT_NE(ext.ConfigurationHandle, nullptr);
    EXPECT_EQ(ext.DosLinkActive, 1);
    EXPECT_EQ(ext.DeviceIdValid, 1);
    EXPECT_EQ(ext.Removed, 0);
    EXPECT_EQ(ext.PendingIoCount, 1);  // the start gave its admission back
    EXPECT_EQ(devnode(number).state, w98::DevNodeState::Started);
    EXPECT_EQ(devnode(number).children.size(), 1u);  // the printer was announced
    EXPECT_EQ(kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB1").value_or(""), "\\Device\\KVUSB00");
}

TEST_F(Start, InterfaceCopyAndRequestSizeForOneAndTwoPipes)
{
    const int one = plug(OnePipeCable());
    const int two = plug(silentPrinterCable());
    for (auto [number, pipes] : {std::pair{one, size_t{1}}, std::pair{two, size_t{2}}}) {
        SCOPED_TRACE(pipes);
        FdoExtension& ext = extension(number);
        ASSERT_NE(ext.Interface, nullptr);
        EXPECT_EQ(ext.Interface->NumberOfPipes, pipes);
        EXPECT_EQ(ext.Interface->Length, InterfaceLength(pipes));
        EXPECT_EQ(blockSize(ext.Interface), InterfaceLength(pipes));
        EXPECT_NE(ext.Interface->InterfaceHandle, nullptr);
        for (size_t i = 0; i < pipes; ++i) EXPECT_NE(ext.Interface->Pipes[i].PipeHandle, nullptr);
    }
    // 24 + 16 per interface + 20 per pipe on Windows: the published layout, whatever the pointer size.
    EXPECT_EQ(SelectConfigurationUrbSize(1, 1), GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
    EXPECT_EQ(SelectConfigurationUrbSize(1, 2), GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
    EXPECT_EQ(SelectConfigurationUrbSize(2, 2) - SelectConfigurationUrbSize(1, 2),
              sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(SelectConfigurationUrbSize(1, 0),
              sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_PIPE_INFORMATION));
}

TEST_F(Start, SelectConfigurationRequestIsSizedForInterfacesAndPipes)
{
    const int number = plug(silentPrinterCable());
    PDEVICE_OBJECT device = fdo(number);
    FdoExtension& ext = extension(number);
    const PUSBD_INTERFACE_INFORMATION before = ext.Interface;
    const auto handle = ext.ConfigurationHandle;

    // Hold the request on the bus so that its URB can be seen in the pool.
    w98::FaultRule hang;
    hang.match.urbFunction = URB_FUNCTION_SELECT_CONFIGURATION;
    hang.action = w98::FaultAction::Hang;
    usb().faults().add(hang);
    std::set<const void*> known;
    for (const auto& block : kernel().pool().outstanding(w98::kDriverPoolTag)) known.insert(block.address);

    std::atomic<int32_t> status{1};
    w98::Kernel::Thread selector = kernel().spawn(
        [&] { status = SelectInterface(device, ext.ConfigurationDescriptor, 2, 0); }, "select");
    kernel().clock().sleepFor(w98::Clock::kSecond);
    std::vector<size_t> fresh;
    for (const auto& block : kernel().pool().outstanding(w98::kDriverPoolTag)) {
        if (!known.count(block.address)) fresh.push_back(block.size);
    }
    EXPECT_NE(std::find(fresh.begin(), fresh.end(), SelectConfigurationUrbSize(1, 2)), fresh.end());
    selector.join();

    // Cancelled after 2 s: the failure keeps the configuration the device had.
    EXPECT_LT(status.load(), 0);
    EXPECT_EQ(ext.Interface, before);
    EXPECT_EQ(ext.ConfigurationHandle, handle);
}

TEST_F(Start, SelectInterfaceAgainReplacesTheCopyAndUnknownInterfacesChangeNothing)
{
    const int number = plug(silentPrinterCable());
    PDEVICE_OBJECT device = fdo(number);
    FdoExtension& ext = extension(number);
    const size_t blocks = driverBlocks();
    const PUSB_CONFIGURATION_DESCRIPTOR config = ext.ConfigurationDescriptor;
    ext.Interface->Pipes[0].PipeFlags = 1;  // as if opened

    EXPECT_EQ(SelectInterface(device, config, 2, 0), kSuccess);
    EXPECT_EQ(ext.ConfigurationDescriptor, config);  // the same descriptor is kept, not freed
    ASSERT_NE(ext.Interface, nullptr);
    EXPECT_EQ(ext.Interface->Pipes[0].PipeFlags, 0u);  // a fresh selection has every pipe closed
    EXPECT_EQ(driverBlocks(), blocks);                 // the old copy went back to the pool

    const PUSBD_INTERFACE_INFORMATION current = ext.Interface;
    const size_t mark = usb().log().size();
    EXPECT_EQ(SelectInterface(device, config, 9, 0), kInvalidParameter);
    EXPECT_EQ(SelectInterface(device, config, 2, 1), kInvalidParameter);
    EXPECT_EQ(SelectInterface(device, nullptr, 2, 0), kInvalidParameter);
    EXPECT_EQ(ext.Interface, current);
    EXPECT_EQ(usb().log().size(), mark);  // nothing was sent
    EXPECT_EQ(cable(number).configuration(), 1);
}

TEST_F(Start, MalformedConfigurationDescriptorIsRefused)
{
    const int number = plug(silentPrinterCable());
    FdoExtension& ext = extension(number);
    std::vector<uint8_t> bad(cable(number).configurationDescriptor());
    bad[9] = 0;  // an interface descriptor of length 0 would stop any parser
    const size_t mark = usb().log().size();
    EXPECT_EQ(SelectInterface(fdo(number), reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bad.data()), 2, 0),
              kInvalidParameter);
    bad = cable(number).configurationDescriptor();
    bad[2] = 200;  // wTotalLength beyond the descriptors, over a buffer as long as it claims
    bad[3] = 0;
    bad.resize(200, 0);
    EXPECT_EQ(SelectInterface(fdo(number), reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bad.data()), 2, 0),
              kInvalidParameter);
    EXPECT_EQ(usb().log().size(), mark);
    EXPECT_NE(ext.Interface, nullptr);
}

TEST_F(Start, DescriptorFailureAtEachStepKeepsTheRecordConsistent)
{
    const int number = plug(silentPrinterCable());
    PDEVICE_OBJECT device = fdo(number);
    FdoExtension& ext = extension(number);
    const size_t blocks = driverBlocks();

    // Step 0: device descriptor, 1: configuration header, 2: whole configuration, 3: select-configuration.
    for (uint64_t step = 0; step < 4; ++step) {
        SCOPED_TRACE(step);
        const PUSBD_INTERFACE_INFORMATION interface = ext.Interface;
        usb().faults().add(FailAt(usb().nextRequestIndex() + step));
        ext.DosLinkActive = 0;
        EXPECT_LT(GetDeviceDescriptor(device), 0);
        EXPECT_EQ(ext.DosLinkActive, 1);
        EXPECT_EQ(ext.DeviceDescriptor == nullptr, step == 0);
        EXPECT_EQ(ext.Interface, interface);  // the earlier configuration stays
        EXPECT_EQ(driverBlocks(), blocks - (step == 0 ? 1 : 0));
        EXPECT_EQ(usb().faults().active(), 0u);
        // A clean pass puts everything back.
        EXPECT_EQ(GetDeviceDescriptor(device), kSuccess);
        EXPECT_EQ(driverBlocks(), blocks);
        EXPECT_NE(ext.DeviceDescriptor, nullptr);
    }
}

TEST_F(Start, StartFailsWhenADescriptorCannotBeRead)
{
    struct Case {
        const char* name;
        w98::FaultMatch match;
    };
    std::vector<Case> cases(3);
    cases[0].name = "device descriptor";
    cases[0].match.bmRequestType = 0x80;
    cases[0].match.wValue = 0x0100;
    cases[1].name = "configuration descriptor";
    cases[1].match.bmRequestType = 0x80;
    cases[1].match.wValue = 0x0200;
    cases[2].name = "select configuration";
    cases[2].match.urbFunction = URB_FUNCTION_SELECT_CONFIGURATION;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        w98::FaultRule rule;
        rule.match = c.match;
        rule.action = w98::FaultAction::Stall;
        usb().faults().add(rule);
        const int number = plug(silentPrinterCable());
        const w98::DevNodeInfo node = devnode(number);
        EXPECT_EQ(node.state, w98::DevNodeState::Failed);
        EXPECT_LT(node.status, 0);
        EXPECT_TRUE(kernel().io().symbolicLinks().empty());
        // Windows 98 stops a device whose start failed: the FDO and its port number stay until it goes.
        EXPECT_EQ(PortNumberMap[0], 0x80000000u);
        usb().faults().clear();
        machine().unplug(number);
        EXPECT_EQ(PortNumberMap[0], 0u);
    }
    // After the failures a cable starts normally.
    const int number = plug(silentPrinterCable());
    EXPECT_EQ(devnode(number).state, w98::DevNodeState::Started);
}

TEST_F(Start, StopAndStartAgainRecreatesTheDosNameWithoutLeaking)
{
    const int number = plug();
    const int id = devnode(number).id;
    const size_t blocks = driverBlocks();
    const PUSBD_INTERFACE_INFORMATION pipeRecords = extension(number).Interface;
    ASSERT_NE(pipeRecords, nullptr);
    const size_t beforeStop = controlMark();
    ASSERT_EQ(kernel().pnp().stopDevice(id), kSuccess);
    // The stop unconfigures the cable: SET_CONFIGURATION(0) is all it sends.
    ASSERT_EQ(controlRecords(beforeStop).size(), 1u);
    EXPECT_EQ(controlRecords(beforeStop).front().setup, Packet(0x00, 9, 0, 0, 0));
    EXPECT_FALSE(kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB1").has_value());
    EXPECT_EQ(extension(number).DeviceId, nullptr);

    const size_t mark = controlMark();
    ASSERT_EQ(kernel().pnp().startDevice(id), kSuccess);
    EXPECT_EQ(kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB1").value_or(""), "\\Device\\KVUSB00");
    EXPECT_EQ(controlRecords(mark).front().setup, Packet(0x23, 2, 0, 0, 0));  // the whole start ran again
    EXPECT_EQ(extension(number).DeviceIdValid, 1);
    EXPECT_NE(extension(number).DeviceId, nullptr);
    EXPECT_EQ(driverBlocks(), blocks);  // the second start's descriptors replaced the first's
    // The pipe records stay where they were (a pipe code admitted before the stop may still read them),
    // refreshed with the new configuration's pipes, all closed.
    EXPECT_EQ(extension(number).Interface, pipeRecords);
    for (ULONG i = 0; i < pipeRecords->NumberOfPipes; ++i) EXPECT_EQ(pipeRecords->Pipes[i].PipeFlags, 0u) << i;
}

TEST_F(Start, AFailedIdReadAfterAGoodOneKeepsTheIdValid)
{
    const int number = plug();
    const int id = devnode(number).id;
    ASSERT_EQ(extension(number).DeviceIdValid, 1);
    ASSERT_EQ(kernel().pnp().stopDevice(id), kSuccess);
    // The printer now answers with a length of 0: the read fails.
    cable(number).withPrinter([](sim::Printer1284& printer) { printer.setDeviceIdRaw({0x00, 0x00}); });
    ASSERT_EQ(kernel().pnp().startDevice(id), kSuccess);
    EXPECT_EQ(extension(number).DeviceIdValid, 1);
    ASSERT_NE(extension(number).DeviceId, nullptr);
    EXPECT_EQ(extension(number).DeviceId[0], 0);  // this start's buffer stayed cleared
    EXPECT_EQ(devnode(number).children.size(), 1u);  // still one printer, not a second
}

TEST_F(Start, StartWithoutMemoryForItsEventFailsCleanly)
{
    const int number = plug(silentPrinterCable());
    const int id = devnode(number).id;
    ASSERT_EQ(kernel().pnp().stopDevice(id), kSuccess);
    // The start handler's event is the driver's first allocation of a start.
    kernel().pool().failTag(w98::kDriverPoolTag);
    const int32_t status = kernel().pnp().startDevice(id);
    kernel().pool().clearFaults();
    EXPECT_EQ(status, kInsufficientResources);
    EXPECT_EQ(devnode(number).state, w98::DevNodeState::Failed);
}

// Every allocation of a plug (AddDevice and start) fails in turn. Whatever fails, the cable either starts
// or is refused with its port number given back, and nothing leaks: the driver's pool blocks are checked
// when it unloads after each round.
TEST_F(Start, EveryAllocationOfAPlugFailingInTurnLeavesAConsistentRecord)
{
    const uint64_t before = kernel().pool().allocationCount();
    const int probe = plug(silentPrinterCable());
    const uint64_t perPlug = kernel().pool().allocationCount() - before;
    machine().unplug(probe);
    ASSERT_GT(perPlug, 20u);

    int started = 0;
    int refused = 0;
    int givenBack = 0;  // AddDevice failed after "Port Name" had been written: it must be empty again
    for (uint64_t k = 1; k <= perPlug; ++k) {
        SCOPED_TRACE(k);
        const size_t mark = controlMark();
        kernel().pool().failNth(k);
        int number = 0;
        try {
            number = plug(silentPrinterCable());
        } catch (const std::runtime_error&) {
            // The bus itself could not enumerate the cable: the driver never saw it.
        }
        kernel().pool().clearFaults();
        if (number == 0) {
            EXPECT_EQ(PortNumberMap[0], 0u);
            continue;
        }
        const w98::DevNodeInfo node = devnode(number);
        if (node.service.empty()) {
            // The Plug and Play manager could not identify the cable: no driver was involved.
            EXPECT_EQ(PortNumberMap[0], 0u);
            machine().unplug(number);
            continue;
        }
        if (node.state == w98::DevNodeState::Started) {
            ++started;
            EXPECT_EQ(PortNumberMap[0], 0x80000000u);
            EXPECT_EQ(DeviceNameCounter, 1);
            EXPECT_EQ(machine().unplug(number), kSuccess);
        } else {
            ++refused;
            EXPECT_EQ(node.state, w98::DevNodeState::Failed);
            EXPECT_LT(node.status, 0);
            machine().unplug(number);
        }
        // Nothing of the cable is left: no port number, no device, no link, no "Port Name".
        EXPECT_EQ(PortNumberMap[0], 0u);
        EXPECT_TRUE(kernel().io().symbolicLinks().empty());
        EXPECT_EQ(kernel().io().findDevice("\\Device\\KVUSB00"), nullptr);
        const auto value = portName(node.deviceKey);
        EXPECT_TRUE(!value.has_value() || value->data.empty());
        // No start ran (nothing on the wire), yet the value exists: AddDevice wrote it, failed, emptied it.
        if (node.state == w98::DevNodeState::Failed && value.has_value() && controlRecords(mark).empty()) ++givenBack;
        EXPECT_EQ(driverBlocks(), 0u);
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(givenBack, 0);
    EXPECT_GT(started, 0);
}

}  // namespace
}  // namespace testrig
