// Plug and Play for the cable's FDO and its child printer device: the manager's own sequences (plug,
// stop, start, unplug) and single requests sent straight to the devices.
#include <cstring>

#include "driver_fixtures.h"
#include "driver/child.h"

namespace testrig {
namespace {

constexpr UCHAR kLegacyBusInformation = 0x18;
constexpr UCHAR kDeviceChange = 0x18;  // the second major code the PnP handler serves
constexpr char kPortNameKeyValue[] = "Port Name";

class PlugAndPlay : public DriverTest {
protected:
    Answer QueryId(DEVICE_OBJECT* device, BUS_QUERY_ID_TYPE type, ULONG_PTR initialInformation = 0)
    {
        return SendPnp(device, IRP_MN_QUERY_ID,
                       [&](PIO_STACK_LOCATION sp, PIRP) { sp->Parameters.QueryId.IdType = type; }, initialInformation);
    }
    Answer QueryBusRelations(DEVICE_OBJECT* device)
    {
        return SendPnp(device, IRP_MN_QUERY_DEVICE_RELATIONS,
                       [](PIO_STACK_LOCATION sp, PIRP) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; });
    }
    std::optional<std::string> DosLinkTarget(int port = 1)
    {
        return kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB" + std::to_string(port));
    }
    size_t DriverBlocks() { return kernel().pool().outstanding(kTag).size(); }
};

TEST_F(PlugAndPlay, PrinterIsReportedWithItsIds)
{
    Plug();
    auto child = ChildNode(1);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(child->deviceId, "LPTENUM\\AcmeJet 1002888");
    EXPECT_EQ(child->hardwareIds, std::vector<std::string>{"AcmeJet 1002888"});
    EXPECT_TRUE(child->compatibleIds.empty());
    EXPECT_EQ(child->instanceId, "AcmeJet 1002888KVUSB1");
    EXPECT_EQ(Ext(1)->ChildCount, 1u);
    // The child keeps its own copy of the text, not a view of the parent's buffer.
    auto* record = static_cast<ChildExtension*>(Child(1)->DeviceExtension);
    EXPECT_EQ(record->IsFdo, 0);
    EXPECT_EQ(record->ParentFdo, Fdo(1));
    EXPECT_EQ(record->LowerDeviceObject, nullptr);
    EXPECT_EQ(record->Self, Child(1));
    ASSERT_NE(record->DeviceIdString.Buffer, nullptr);
    EXPECT_NE(static_cast<void*>(record->DeviceIdString.Buffer), static_cast<void*>(Ext(1)->DeviceId));
    EXPECT_EQ(std::string(record->DeviceIdString.Buffer, record->DeviceIdString.Length), kAcmeId);
}

TEST_F(PlugAndPlay, SecondCableGetsItsOwnPortInTheInstanceId)
{
    Plug();
    Plug("MFG:1234;MDL:56789;");
    auto child = ChildNode(2);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(child->deviceId, "LPTENUM\\123456789593C");
    EXPECT_EQ(child->instanceId, "123456789593CKVUSB2");
}

TEST_F(PlugAndPlay, BusRelationsOnlyOnceWhileTheChildLives)
{
    Plug();
    DEVICE_OBJECT* child = Child(1);
    for (int i = 0; i < 3; ++i) {
        Answer a = QueryBusRelations(Fdo(1));
        EXPECT_EQ(a.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(a.returned, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(a.information, 0u);
    }
    EXPECT_EQ(Ext(1)->ChildCount, 1u);
    EXPECT_EQ(Child(1), child);
    EXPECT_EQ(Ext(1)->PendingIoCount, 1);
    // Other relation types go down to the bus driver untouched.
    Answer removal = SendPnp(Fdo(1), IRP_MN_QUERY_DEVICE_RELATIONS,
                             [](PIO_STACK_LOCATION sp, PIRP) { sp->Parameters.QueryDeviceRelations.Type = RemovalRelations; });
    EXPECT_EQ(removal.status, STATUS_NOT_SUPPORTED);

    // Relations that a driver above already put into the request are refused and left as they are, even
    // before the printer was reported.
    auto* earlier = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x65766F62));
    earlier->Count = 1;
    earlier->Objects[0] = Pdo(1);
    Ext(1)->ChildCount = 0;
    Answer above = SendPnp(
        Fdo(1), IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp, PIRP) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
        reinterpret_cast<ULONG_PTR>(earlier));
    Ext(1)->ChildCount = 1;
    EXPECT_EQ(above.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(above.information, reinterpret_cast<ULONG_PTR>(earlier));
    EXPECT_EQ(earlier->Count, 1u);
    EXPECT_EQ(earlier->Objects[0], Pdo(1));
    EXPECT_EQ(Child(1), child);
    ExFreePool(earlier);
}

TEST_F(PlugAndPlay, NoChildWithoutADeviceId)
{
    Plug(kAcmeId, [](w98::CableOptions& o) { o.printer.supports1284 = false; });
    EXPECT_FALSE(Ext(1)->DeviceIdValid);
    EXPECT_FALSE(ChildNode(1).has_value());
    EXPECT_EQ(Ext(1)->ChildCount, 0u);
    EXPECT_EQ(QueryBusRelations(Fdo(1)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(DosLinkTarget().has_value());  // the start itself succeeded
}

TEST_F(PlugAndPlay, FdoPassesOtherMinorCodesDownAndKeepsItsState)
{
    Plug();
    DEVICE_OBJECT* fdo = Fdo(1);
    FdoExtension* ext = Ext(1);
    // Passed down: what the bus driver answers comes back unchanged, and the record keeps its state
    // (Started is never set, so the query and cancel codes change nothing).
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_REMOVE_DEVICE), UCHAR(IRP_MN_CANCEL_REMOVE_DEVICE),
                        UCHAR(IRP_MN_QUERY_STOP_DEVICE), UCHAR(IRP_MN_CANCEL_STOP_DEVICE), UCHAR(0x08), UCHAR(0x0A),
                        UCHAR(0x0B), UCHAR(0x0C), UCHAR(0x0D), UCHAR(0x0E), UCHAR(0x0F), UCHAR(0x10), UCHAR(0x11),
                        UCHAR(0x12), UCHAR(0x14), UCHAR(0x15), UCHAR(0x16), UCHAR(0x19), UCHAR(0x20)}) {
        Answer a = SendPnp(fdo, minor);
        EXPECT_NE(a.returned, STATUS_PENDING) << int(minor);
        EXPECT_EQ(a.status, a.returned) << int(minor);
        EXPECT_FALSE(ext->RemovePending);
        EXPECT_FALSE(ext->StopPending);
        EXPECT_EQ(ext->PendingIoCount, 1) << int(minor);
    }
    // Surprise removal is passed down and changes nothing in the driver.
    SendPnp(fdo, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_FALSE(ext->Removed);
    EXPECT_TRUE(ext->DosLinkActive);
    EXPECT_TRUE(DosLinkTarget().has_value());

    Answer legacy = SendPnp(fdo, kLegacyBusInformation);
    EXPECT_EQ(legacy.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(legacy.returned, STATUS_UNSUCCESSFUL);
    // Major code 0x18 is served like IRP_MJ_PNP.
    Answer viaDeviceChange = Send(fdo, kDeviceChange, kLegacyBusInformation);
    EXPECT_EQ(viaDeviceChange.status, STATUS_UNSUCCESSFUL);
    Answer relations = Send(fdo, kDeviceChange, IRP_MN_QUERY_DEVICE_RELATIONS,
                            [](PIO_STACK_LOCATION sp, PIRP) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; });
    EXPECT_EQ(relations.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->PendingIoCount, 1);
}

TEST_F(PlugAndPlay, ChildAnswersItsOwnMinorCodes)
{
    Plug();
    DEVICE_OBJECT* child = Child(1);
    ASSERT_NE(child, nullptr);
    for (UCHAR minor : {UCHAR(IRP_MN_START_DEVICE), UCHAR(IRP_MN_QUERY_REMOVE_DEVICE), UCHAR(IRP_MN_CANCEL_REMOVE_DEVICE),
                        UCHAR(IRP_MN_STOP_DEVICE), UCHAR(IRP_MN_QUERY_STOP_DEVICE), UCHAR(IRP_MN_CANCEL_STOP_DEVICE),
                        UCHAR(IRP_MN_REMOVE_DEVICE)}) {
        Answer a = SendPnp(child, minor);
        EXPECT_EQ(a.status, STATUS_SUCCESS) << int(minor);
        EXPECT_EQ(a.returned, STATUS_SUCCESS) << int(minor);
    }
    // Its own remove request does not delete it.
    EXPECT_TRUE(kernel().io().isLive(child));
    EXPECT_FALSE(kernel().io().isDeleted(child));
    // Anything else keeps the status and information it came with.
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_DEVICE_RELATIONS), UCHAR(0x08), UCHAR(0x0A), UCHAR(0x0B), UCHAR(0x0C),
                        UCHAR(0x0D), UCHAR(0x18), UCHAR(0x30)}) {
        Answer a = SendPnp(child, minor, {}, 0x5A5A);
        EXPECT_EQ(a.status, STATUS_NOT_SUPPORTED) << int(minor);
        EXPECT_EQ(a.information, 0x5A5Au) << int(minor);
    }
    EXPECT_EQ(Ext(1)->PendingIoCount, 1);
}

TEST_F(PlugAndPlay, ChildCapabilitiesSetTheirFlagsAndKeepTheRest)
{
    Plug();
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0xFF, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 7;
    Answer a = SendPnp(Child(1), IRP_MN_QUERY_CAPABILITIES,
                       [&](PIO_STACK_LOCATION sp, PIRP) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, 32);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.LockSupported, 0u);
    EXPECT_EQ(caps.EjectSupported, 0u);
    EXPECT_EQ(caps.Removable, 0u);
    EXPECT_EQ(caps.DockDevice, 0u);
    EXPECT_EQ(caps.UniqueID, 0u);
    EXPECT_EQ(caps.DeviceD1, 1u);
    EXPECT_EQ(caps.Address, 0u);
    EXPECT_EQ(caps.UINumber, 0u);
    // Flags the answer does not name stay as they came.
    EXPECT_EQ(caps.DeviceD2, 1u);
    EXPECT_EQ(caps.SilentInstall, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
}

TEST_F(PlugAndPlay, ChildAnswersIdQueriesFromThePrintersIdInPagedPool)
{
    Plug();
    DEVICE_OBJECT* child = Child(1);
    Answer device = QueryId(child, BusQueryDeviceID);
    EXPECT_EQ(device.status, STATUS_SUCCESS);
    ASSERT_NE(device.information, 0u);
    auto block = kernel().pool().block(reinterpret_cast<void*>(device.information));
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->kind, w98::PoolKind::Paged);
    EXPECT_EQ(block->tag, kTag);
    EXPECT_EQ(TakeStrings(device.information), std::vector<std::string>{"LPTENUM\\AcmeJet 1002888"});

    Answer hardware = QueryId(child, BusQueryHardwareIDs);
    ASSERT_EQ(hardware.status, STATUS_SUCCESS);
    {
        auto* text = reinterpret_cast<const WCHAR*>(hardware.information);
        const std::string expected = std::string("AcmeJet 1002888") + '\0' + '\0';
        ASSERT_GE(kernel().pool().block(text)->size, expected.size() * sizeof(WCHAR));
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(text[i], static_cast<WCHAR>(static_cast<unsigned char>(expected[i]))) << i;
        ExFreePool(const_cast<WCHAR*>(text));
    }

    Answer compatible = QueryId(child, BusQueryCompatibleIDs, 0);
    EXPECT_EQ(compatible.status, STATUS_SUCCESS);
    EXPECT_EQ(compatible.information, 0u);

    Answer instance = QueryId(child, BusQueryInstanceID);
    EXPECT_EQ(instance.status, STATUS_SUCCESS);
    EXPECT_EQ(TakeStrings(instance.information), std::vector<std::string>{"AcmeJet 1002888KVUSB1"});

    Answer other = QueryId(child, static_cast<BUS_QUERY_ID_TYPE>(5), 0x77);
    EXPECT_EQ(other.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(other.information, 0x77u);

    // Without memory for the answer: success, and no id.
    kernel().pool().failTag(kTag);
    Answer starved = QueryId(child, BusQueryDeviceID);
    kernel().pool().clearFaults();
    EXPECT_EQ(starved.information, 0u);
}

TEST_F(PlugAndPlay, ChildWithoutAManufacturerHasNoIds)
{
    Plug("MFG:;MDL:Jet 100;");
    DEVICE_OBJECT* child = Child(1);
    ASSERT_NE(child, nullptr);
    for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryHardwareIDs, BusQueryInstanceID}) {
        Answer a = QueryId(child, type, 0x1234);
        EXPECT_EQ(a.status, STATUS_UNSUCCESSFUL) << type;
        EXPECT_EQ(a.information, 0u) << type;
    }
    EXPECT_EQ(QueryId(child, BusQueryCompatibleIDs).status, STATUS_SUCCESS);
}

TEST_F(PlugAndPlay, StopAndStartRecreateTheDosNameAndKeepTheChildReadable)
{
    Plug();
    const int id = machine().devnode(1)->id;
    EXPECT_EQ(DosLinkTarget(), "\\Device\\KVUSB00");
    const size_t mark = Mark();
    ASSERT_EQ(kernel().pnp().stopDevice(id), STATUS_SUCCESS);
    // The unconfiguring request reached the cable: USBD took its length.
    bool unconfigured = false;
    for (const w98::TrafficRecord& r : Since(mark))
        unconfigured = unconfigured || (r.kind == w98::TransferKind::Control && r.setup == w98::SetupPacket{0x00, 9, 0, 0, 0});
    EXPECT_TRUE(unconfigured) << "no SET_CONFIGURATION(0) after the stop";
    EXPECT_FALSE(DosLinkTarget().has_value());
    EXPECT_EQ(Ext(1)->DeviceId, nullptr);
    EXPECT_FALSE(Ext(1)->DosLinkActive);
    EXPECT_NE(OpenPort().status, STATUS_SUCCESS);
    // The child still answers from its own copy while the parent has no device ID.
    EXPECT_EQ(TakeStrings(QueryId(Child(1), BusQueryDeviceID).information),
              std::vector<std::string>{"LPTENUM\\AcmeJet 1002888"});

    ASSERT_EQ(kernel().pnp().startDevice(id), STATUS_SUCCESS);
    EXPECT_EQ(DosLinkTarget(), "\\Device\\KVUSB00");
    EXPECT_NE(Ext(1)->DeviceId, nullptr);
    EXPECT_EQ(Ext(1)->ChildCount, 1u);  // no second child
    EXPECT_EQ(TakeStrings(QueryId(Child(1), BusQueryInstanceID).information),
              std::vector<std::string>{"AcmeJet 1002888KVUSB1"});
    auto h = Open();
    EXPECT_EQ(Write(h, {1, 2, 3}).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(PlugAndPlay, StopWithoutMemoryFailsAfterDeletingTheDosName)
{
    Plug();
    const size_t mark = Mark();
    kernel().pool().failTag(kTag);
    Answer a = SendPnp(Fdo(1), IRP_MN_STOP_DEVICE);
    kernel().pool().clearFaults();
    EXPECT_EQ(a.status, STATUS_NO_MEMORY);
    EXPECT_FALSE(DosLinkTarget().has_value());  // already deleted
    EXPECT_TRUE(Since(mark).empty());
    EXPECT_EQ(Ext(1)->PendingIoCount, 1);
}

TEST_F(PlugAndPlay, RemovalWithoutHandlesDeletesEverything)
{
    Plug();
    Plug("MFG:Other;");
    DEVICE_OBJECT* fdo = Fdo(1);
    DEVICE_OBJECT* child = Child(1);
    const std::string deviceKey = machine().devnode(1)->deviceKey;
    const std::string driverKey = machine().devnode(1)->driverKey;
    EXPECT_EQ(DeviceNameCounter, 2);

    EXPECT_EQ(machine().unplug(1), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().io().isLive(fdo));
    EXPECT_FALSE(kernel().io().isLive(child));
    EXPECT_FALSE(DosLinkTarget(1).has_value());
    EXPECT_EQ(DeviceNameCounter, 1);
    EXPECT_EQ(PortNumberMap[0] & 0x80000000u, 0u);  // port number 1 is free again
    auto portName = machine().registry().value(deviceKey, kPortNameKeyValue);
    ASSERT_TRUE(portName.has_value());
    EXPECT_TRUE(portName->data.empty());
    EXPECT_TRUE(machine().registry().value(driverKey, kPortNameKeyValue)->data.empty());

    // The other cable is untouched; removing it too leaves no driver memory behind.
    EXPECT_EQ(machine().unplug(2), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
}

TEST_F(PlugAndPlay, RemovalWithAHandleOpenLingersUntilTheLastClose)
{
    Plug();
    auto h = Open();
    DEVICE_OBJECT* fdo = Fdo(1);
    DEVICE_OBJECT* child = Child(1);
    ASSERT_EQ(Write(h, {1, 2, 3}).status, STATUS_SUCCESS);

    machine().unplug(1);
    EXPECT_TRUE(kernel().io().isLive(fdo));
    EXPECT_EQ(fdo->DeviceExtension, nullptr);
    EXPECT_FALSE(kernel().io().isLive(child));
    EXPECT_EQ(DeviceNameCounter, 1);  // unchanged: the FDO was not deleted by the removal
    EXPECT_EQ(PortNumberMap[0] & 0x80000000u, 0u);
    // Nothing of the driver's own memory is left: the record's belongings went at removal.
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();

    // Every later request completes without a record.
    const size_t mark = Mark();
    auto w = Write(h, {4, 5});
    EXPECT_EQ(w.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(w.information, 0u);
    std::vector<uint8_t> in(4);
    EXPECT_EQ(io().read(h, in.data(), 4).status, STATUS_DELETE_PENDING);
    std::vector<uint8_t> out(7, 0xEE);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_READ_REGISTERS, {}, &out).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_REMOVE_DEVICE).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Send(fdo, IRP_MJ_CREATE, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(fdo, IRP_MJ_CLEANUP, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(Since(mark).empty());

    // The last close lets the device object go.
    EXPECT_EQ(io().close(h), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().io().isLive(fdo));
}

TEST_F(PlugAndPlay, WriteInFlightAtRemovalCompletesFirst)
{
    Plug();
    auto h = Open();
    CableOf(1).setOffline(true);
    std::vector<uint8_t> data(100, 0x31);
    auto write = io().writeAsync(h, data.data(), 100);
    kernel().clock().sleepFor(10 * kMs);
    ASSERT_FALSE(write->completed());

    machine().unplug(1);
    ASSERT_TRUE(write->completed());
    auto r = write->wait();
    EXPECT_LT(r.status, 0);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(io().close(h), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
}

TEST_F(PlugAndPlay, RemovalWaitsForARunningRecoveryAndRefusesNewCodes)
{
    Plug();
    auto h = Open();
    std::vector<uint8_t> buffer(16);
    auto read = io().readAsync(h, buffer.data(), 16);
    kernel().clock().sleepFor(5 * kMs);
    const w98::Ticks start = now();
    NTSTATUS recovered = STATUS_PENDING, probe = STATUS_PENDING;
    auto recover = kernel().spawn([&] { recovered = Control(h, IOCTL_KVUSB_RECOVER, {}).status; }, "recover");
    kernel().clock().sleepFor(100 * kMs);  // the recovery now sleeps in its waits
    auto prober = kernel().spawn([&] {
        kernel().clock().sleepFor(100 * kMs);
        probe = Control(h, IOCTL_KVUSB_SOFT_RESET, {}).status;
    }, "probe");
    machine().unplug(1);
    // The removal drained the counted recovery before it went on.
    EXPECT_GE(now() - start, 25 * kSecond / 10);
    recover.join();
    prober.join();
    EXPECT_EQ(recovered, STATUS_SUCCESS);
    EXPECT_EQ(probe, STATUS_DELETE_PENDING);
    EXPECT_EQ(read->wait().status, STATUS_CANCELLED);
    EXPECT_EQ(io().close(h), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
}

// Lower drivers that fail the start, at once or later: Windows 98 then sends a stop, which finds nothing
// configured, and the FDO stays until the cable goes. Lower drivers that finish the start later: the driver
// waits before it configures anything.
TEST_F(PlugAndPlay, StartFailedBelowPublishesNothingAndAPendedStartSucceeds)
{
    for (bool pends : {false, true}) {
        const int failing = Plug(kAcmeId, [&](w98::CableOptions& o) {
            o.port.startStatus = STATUS_DEVICE_NOT_CONNECTED;
            o.port.startPends = pends;
        });
        EXPECT_EQ(machine().devnode(failing)->state, w98::DevNodeState::Failed);
        EXPECT_EQ(machine().devnode(failing)->status, STATUS_DEVICE_NOT_CONNECTED);
        ASSERT_NE(Ext(failing), nullptr) << "the FDO stays";
        EXPECT_EQ(Ext(failing)->Interface, nullptr);
        EXPECT_FALSE(Ext(failing)->Started);
        EXPECT_FALSE(DosLinkTarget(1).has_value());
        EXPECT_FALSE(ChildNode(failing).has_value());
        EXPECT_EQ(machine().unplug(failing), STATUS_SUCCESS);
        EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
    }
    const int late = Plug(kAcmeId, [](w98::CableOptions& o) { o.port.startPends = true; });
    EXPECT_EQ(machine().devnode(late)->state, w98::DevNodeState::Started);
    EXPECT_EQ(DosLinkTarget(1), "\\Device\\KVUSB00");
    EXPECT_TRUE(ChildNode(late).has_value());
}

// A DOS name that another device holds: the start still succeeds without it, and the stop and the
// removal must not delete the other device's name.
TEST_F(PlugAndPlay, DosNameHeldByAnotherDeviceIsLeftAlone)
{
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\KVUSB1");
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    const int number = Plug();
    EXPECT_EQ(machine().devnode(number)->state, w98::DevNodeState::Started);
    EXPECT_EQ(DosLinkTarget(1), "\\Device\\Elsewhere");
    ASSERT_EQ(kernel().pnp().stopDevice(machine().devnode(number)->id), STATUS_SUCCESS);
    EXPECT_EQ(DosLinkTarget(1), "\\Device\\Elsewhere");
    ASSERT_EQ(kernel().pnp().startDevice(machine().devnode(number)->id), STATUS_SUCCESS);
    machine().unplug(number);
    EXPECT_EQ(DosLinkTarget(1), "\\Device\\Elsewhere");
    IoDeleteSymbolicLink(&link);
}

TEST_F(PlugAndPlay, SecondStartWithoutAStopKeepsTheDosNameItsOwn)
{
    const int number = Plug();
    // The name exists already, so this start's IoCreateSymbolicLink fails; the name is still the device's.
    Answer again = SendPnp(Fdo(number), IRP_MN_START_DEVICE);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.returned, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(Ext(number)->DosLinkCreated);
    machine().unplug(number);
    EXPECT_FALSE(DosLinkTarget(1).has_value());
}

TEST_F(PlugAndPlay, Windows2000SurpriseRemovalDeletesEverythingAndFreesThePort)
{
    Plug();
    DEVICE_OBJECT* fdo = Fdo(1);
    EXPECT_EQ(machine().unplug(1, w98::Removal::NtSurpriseRemoval), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().io().isLive(fdo));
    EXPECT_FALSE(DosLinkTarget().has_value());
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
    // The port number is free for the next cable.
    Plug();
    EXPECT_EQ(ChildNode(2)->instanceId, "AcmeJet 1002888KVUSB1");
}

TEST_F(PlugAndPlay, BusRelationsWithAllocationsFailingInTurnLeakNothingThenSucceed)
{
    // A printer without IEEE 1284 gives no child at start; the test then hands the FDO a device ID as a
    // start would and asks for the bus relations itself, failing each allocation of the answer in turn.
    Plug(kAcmeId, [](w98::CableOptions& o) { o.printer.supports1284 = false; });
    FdoExtension* ext = Ext(1);
    ASSERT_EQ(ext->ChildCount, 0u);
    // The start kept its (empty) device-ID buffer; fill it as a successful read would have.
    ASSERT_NE(ext->DeviceId, nullptr);
    std::memset(ext->DeviceId, 0, DEVICE_ID_BUFFER_SIZE);
    std::memcpy(ext->DeviceId, kAcmeId, std::strlen(kAcmeId));
    ext->DeviceIdValid = 1;

    const size_t idle = DriverBlocks();
    const size_t liveDevices = kernel().io().liveDevices();
    Answer answer;
    int failures = 0;
    for (uint64_t n = 1; n < 20; ++n) {
        kernel().pool().failNth(n);
        answer = QueryBusRelations(Fdo(1));
        kernel().pool().clearFaults();
        if (NT_SUCCESS(answer.status)) break;
        ++failures;
        EXPECT_EQ(answer.information, 0u);
        EXPECT_EQ(ext->ChildCount, 0u);
        EXPECT_TRUE(IsListEmpty(&ext->ChildList));
        EXPECT_EQ(DriverBlocks(), idle) << "allocation " << n;
        EXPECT_EQ(kernel().io().liveDevices(), liveDevices) << "allocation " << n;
        EXPECT_EQ(ext->PendingIoCount, 1);
    }
    EXPECT_GE(failures, 3);  // the device object, the child's copy of the id, the relations array
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(answer.information);
    ASSERT_NE(relations, nullptr);
    ASSERT_EQ(relations->Count, 1u);
    EXPECT_EQ(ext->ChildCount, 1u);
    auto* record = static_cast<ChildExtension*>(relations->Objects[0]->DeviceExtension);
    EXPECT_EQ(std::string(record->DeviceIdString.Buffer, record->DeviceIdString.Length), kAcmeId);
    EXPECT_EQ(kernel().pool().block(relations)->kind, w98::PoolKind::Paged);
    ExFreePool(relations);
    // Asked again: no second child.
    EXPECT_EQ(QueryBusRelations(Fdo(1)).status, STATUS_UNSUCCESSFUL);

    // Removal takes the child (and the device ID) with it.
    machine().unplug(1);
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
}

TEST_F(PlugAndPlay, RemovalWithAllocationsFailingInTurnLeaksNothing)
{
    for (uint64_t n = 1; n <= 30; ++n) {
        restartMachine();
        Plug();
        auto h = Open();
        ASSERT_EQ(Write(h, {1, 2, 3}).status, STATUS_SUCCESS) << "allocation " << n;
        io().close(h);
        kernel().pool().failNth(n);
        machine().unplug(1);
        kernel().pool().clearFaults();
        EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << "allocation " << n << "\n" << kernel().pool().report();
        EXPECT_EQ(PortNumberMap[0], 0u) << "allocation " << n;
    }
}

}  // namespace
}  // namespace testrig
