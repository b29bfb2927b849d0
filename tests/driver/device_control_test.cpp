// The nine control codes and the pipe operations behind them, checked on the wire through the bus's
// traffic log and on the simulated cable.
#include <algorithm>

#include "driver_fixtures.h"
#include "driver/child.h"

namespace testrig {
namespace {

constexpr uint16_t kAbortPipe = 0x0002;
constexpr uint16_t kResetPipe = 0x001E;

class DeviceControl : public DriverTest {
protected:
    std::vector<w98::SetupPacket> Controls(size_t mark)
    {
        std::vector<w98::SetupPacket> out;
        for (auto& r : Since(mark))
            if (r.kind == w98::TransferKind::Control) out.push_back(r.setup);
        return out;
    }
    // (URB function, endpoint) of every pipe request since `mark`.
    std::vector<std::pair<uint16_t, uint8_t>> PipeRequests(size_t mark)
    {
        std::vector<std::pair<uint16_t, uint8_t>> out;
        for (auto& r : Since(mark))
            if (r.kind == w98::TransferKind::PipeRequest) out.emplace_back(r.urbFunction, r.endpoint);
        return out;
    }
    static bool Contains(const std::vector<w98::SetupPacket>& all, const w98::SetupPacket& s)
    {
        return std::find(all.begin(), all.end(), s) != all.end();
    }
    Answer RawControl(DEVICE_OBJECT* target, UCHAR major, ULONG code, std::vector<uint8_t>& buffer, ULONG in, ULONG out)
    {
        return Send(target, major, 0, [&](PIO_STACK_LOCATION sp, PIRP irp) {
            sp->Parameters.DeviceIoControl.IoControlCode = code;
            sp->Parameters.DeviceIoControl.InputBufferLength = in;
            sp->Parameters.DeviceIoControl.OutputBufferLength = out;
            irp->AssociatedIrp.SystemBuffer = buffer.empty() ? nullptr : buffer.data();
            irp->UserBuffer = nullptr;
        });
    }
};

TEST_F(DeviceControl, CodesOutsideTheTableTouchNothing)
{
    Plug();
    auto h = Open();
    const size_t mark = Mark();
    for (uint32_t code : {0x00222001u, 0x00222002u, 0x00222024u, 0x00222FFCu, 0x00220000u, 0x0022001Cu,
                          0x00000000u, 0xFFFFFFFFu, 0x00232000u}) {
        std::vector<uint8_t> out(16, 0xEE);
        auto r = Control(h, code, {1, 2, 3}, &out);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
    }
    EXPECT_TRUE(Since(mark).empty());
    EXPECT_EQ(Ext(1)->PendingIoCount, 1);
    io().close(h);
}

TEST_F(DeviceControl, CodesAreTheDocumentedValues)
{
    EXPECT_EQ(IOCTL_KVUSB_WRITE_REGISTER, 0x00222000u);
    EXPECT_EQ(IOCTL_KVUSB_READ_REGISTERS, 0x00222004u);
    EXPECT_EQ(IOCTL_KVUSB_GET_DEVICE_ID, 0x00222008u);
    EXPECT_EQ(IOCTL_KVUSB_SELECT_INTERFACE, 0x0022200Cu);
    EXPECT_EQ(IOCTL_KVUSB_SOFT_RESET, 0x00222010u);
    EXPECT_EQ(IOCTL_KVUSB_GET_PORT_STATUS, 0x00222014u);
    EXPECT_EQ(IOCTL_KVUSB_RESET_PIPE, 0x00222018u);
    EXPECT_EQ(IOCTL_KVUSB_ABORT_PIPES, 0x0022201Cu);
    EXPECT_EQ(IOCTL_KVUSB_RECOVER, 0x00222020u);
    EXPECT_EQ(IOCTL_KVUSB_RECOVER, static_cast<uint32_t>(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS)));
    EXPECT_EQ(sizeof(OSLNK_REGISTER_SNAPSHOT), 7u);
    EXPECT_EQ(sizeof(OSLNK_REGISTER_WRITE), 2u);
    EXPECT_EQ(sizeof(OSLNK_INTERFACE_SELECT), 2u);
}

TEST_F(DeviceControl, WriteRegisterNeedsTwoBytesAndSendsOnlyThose)
{
    Plug();
    auto h = Open();
    size_t mark = Mark();
    auto shortIn = Control(h, IOCTL_KVUSB_WRITE_REGISTER, {0x02});
    EXPECT_EQ(shortIn.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Since(mark).empty());

    mark = Mark();
    auto exact = Control(h, IOCTL_KVUSB_WRITE_REGISTER, {0x02, 0x4C});
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, 0u);
    auto longIn = Control(h, IOCTL_KVUSB_WRITE_REGISTER, {0x07, 0xF8, 0x99});
    EXPECT_EQ(longIn.status, STATUS_SUCCESS);
    EXPECT_EQ(Controls(mark), (std::vector<w98::SetupPacket>{Packet(0x40, 4, 0x024C, 0, 0), Packet(0x40, 4, 0x07F8, 0, 0)}));
    EXPECT_EQ(CableOf(1).reg(7), 0xF8);
    io().close(h);
}

TEST_F(DeviceControl, ReadRegistersRepliesWithSevenBytes)
{
    Plug();
    auto h = Open();
    size_t mark = Mark();
    std::vector<uint8_t> six(6, 0xEE);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_READ_REGISTERS, {}, &six).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Since(mark).empty());

    for (size_t size : {7u, 12u}) {
        mark = Mark();
        std::vector<uint8_t> out(size, 0xEE);
        auto r = Control(h, IOCTL_KVUSB_READ_REGISTERS, {}, &out);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 7u);
        for (uint8_t i = 0; i < 7; ++i) EXPECT_EQ(out[i], CableOf(1).reg(1 + i)) << "register " << int(1 + i);
        EXPECT_TRUE(std::all_of(out.begin() + 7, out.end(), [](uint8_t b) { return b == 0xEE; }));
        EXPECT_EQ(Controls(mark), std::vector<w98::SetupPacket>{Packet(0xC0, 3, 1, 0, 7)});
    }
    // A failing read replies with zeros, still 7 bytes.
    machine().usb().faults().failNext(1, w98::FaultAction::Stall);
    std::vector<uint8_t> out(7, 0xEE);
    auto r = Control(h, IOCTL_KVUSB_READ_REGISTERS, {}, &out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 7u);
    EXPECT_EQ(out, std::vector<uint8_t>(7, 0));
    io().close(h);
}

TEST_F(DeviceControl, PortStatusReturnsOneByteAndZeroWhenTheRequestStalls)
{
    Plug("MFG:Acme;", [](w98::CableOptions& o) { o.printer.paperEmpty = true; });
    auto h = Open();
    std::vector<uint8_t> none;
    size_t mark = Mark();
    EXPECT_EQ(Control(h, IOCTL_KVUSB_GET_PORT_STATUS, {}, &none).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Since(mark).empty());

    std::vector<uint8_t> out(4, 0xEE);
    mark = Mark();
    auto r = Control(h, IOCTL_KVUSB_GET_PORT_STATUS, {}, &out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(out[0] & 0x20, 0x20);  // paper empty
    EXPECT_EQ(out[1], 0xEE);
    EXPECT_EQ(Controls(mark), std::vector<w98::SetupPacket>{Packet(0xA1, 1, 0, 0, 1)});

    // A cable that stalls the request: success, and the byte reads 0.
    machine().usb().faults().failNext(1, w98::FaultAction::Stall);
    std::vector<uint8_t> one(1, 0xEE);
    r = Control(h, IOCTL_KVUSB_GET_PORT_STATUS, {}, &one);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(one[0], 0);
    io().close(h);
}

TEST_F(DeviceControl, DeviceIdFillsShortAndLongBuffersAndA64KBufferGetsNothing)
{
    const std::string id = kAcmeId;
    Plug();
    auto h = Open();
    std::vector<uint8_t> none;
    EXPECT_EQ(Control(h, IOCTL_KVUSB_GET_DEVICE_ID, {}, &none).status, STATUS_INVALID_PARAMETER);

    std::vector<uint8_t> small(10, 0xEE);
    auto r = Control(h, IOCTL_KVUSB_GET_DEVICE_ID, {}, &small);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 10u);
    EXPECT_EQ(std::string(small.begin(), small.end()), id.substr(0, 10));

    std::vector<uint8_t> full(1024, 0xEE);
    r = Control(h, IOCTL_KVUSB_GET_DEVICE_ID, {}, &full);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1024u);
    EXPECT_EQ(std::string(full.begin(), full.begin() + id.size()), id);
    EXPECT_TRUE(std::all_of(full.begin() + id.size(), full.end(), [](uint8_t b) { return b == 0; }));
    // The controller is left in its printing state.
    EXPECT_EQ(CableOf(1).reg(6), 0x43);
    EXPECT_EQ(CableOf(1).reg(2), 0x4C);

    // 65536 bytes is a count of 0: nothing comes back, but the exchange still runs.
    std::vector<uint8_t> huge(65536, 0xEE);
    const size_t mark = Mark();
    r = Control(h, IOCTL_KVUSB_GET_DEVICE_ID, {}, &huge);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(std::all_of(huge.begin(), huge.end(), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_TRUE(Contains(Controls(mark), Packet(0x40, 4, 0x0004, 0, 0)));  // the extensibility byte
    io().close(h);
}

TEST_F(DeviceControl, SoftResetAndSelectInterfaceSendOnlyWhatTheyCanServe)
{
    Plug();
    auto h = Open();
    const unsigned resets = CableOf(1).softResets();
    size_t mark = Mark();
    auto r = Control(h, IOCTL_KVUSB_SOFT_RESET, {});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Controls(mark), std::vector<w98::SetupPacket>{Packet(0x23, 2, 0, 0, 0)});
    EXPECT_EQ(CableOf(1).softResets(), resets + 1);

    mark = Mark();
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2}).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Since(mark).empty());
    PUSBD_INTERFACE_INFORMATION before = Ext(1)->Interface;
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0, 9}).status, STATUS_SUCCESS);
    ASSERT_NE(Ext(1)->Interface, nullptr);
    EXPECT_EQ(Ext(1)->Interface->NumberOfPipes, 2u);
    EXPECT_EQ(Ext(1)->Interface->Pipes[0].PipeFlags, 0u);  // fresh records: closed
    // An interface the cable does not have: the request still succeeds.
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {9, 9}).status, STATUS_SUCCESS);
    EXPECT_NE(Ext(1)->Interface, nullptr);
    (void)before;

    // Without a configuration descriptor (never started) there is nothing to select from.
    FdoExtension* ext = Ext(1);
    auto saved = ext->ConfigurationDescriptor;
    ext->ConfigurationDescriptor = nullptr;
    mark = Mark();
    r = Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0});
    ext->ConfigurationDescriptor = saved;
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(Since(mark).empty());
    io().close(h);
}

TEST_F(DeviceControl, PipeCodesSendNothingWhileClosedAndAbortOrResetTheOpenPipes)
{
    Plug();
    auto h = Open();
    io().close(h);
    // Handles are needed to send the codes; a raw request reaches the closed device.
    std::vector<uint8_t> none;
    size_t mark = Mark();
    EXPECT_EQ(RawControl(Fdo(1), IRP_MJ_DEVICE_CONTROL, IOCTL_KVUSB_RESET_PIPE, none, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(RawControl(Fdo(1), IRP_MJ_DEVICE_CONTROL, IOCTL_KVUSB_ABORT_PIPES, none, 0, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(Since(mark).empty());

    h = Open();
    mark = Mark();
    EXPECT_EQ(Control(h, IOCTL_KVUSB_ABORT_PIPES, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(PipeRequests(mark), (std::vector<std::pair<uint16_t, uint8_t>>{{kAbortPipe, 0x01}, {kAbortPipe, 0x81}}));
    mark = Mark();
    EXPECT_EQ(Control(h, IOCTL_KVUSB_RESET_PIPE, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(PipeRequests(mark), (std::vector<std::pair<uint16_t, uint8_t>>{{kResetPipe, 0x01}}));
    EXPECT_TRUE(Controls(mark).empty());
    io().close(h);
}

TEST_F(DeviceControl, PipeCodesOnAOnePipeInterface)
{
    Plug(kAcmeId, [](w98::CableOptions& o) {
        o.cable.interfaces[0].alternates[0].endpoints = {sim::EndpointConfig{0x02, 0x02, 64, 0}};
    });
    auto h = Open();
    ASSERT_EQ(Ext(1)->Interface->NumberOfPipes, 1u);
    size_t mark = Mark();
    EXPECT_EQ(Control(h, IOCTL_KVUSB_ABORT_PIPES, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_RESET_PIPE, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(PipeRequests(mark), (std::vector<std::pair<uint16_t, uint8_t>>{{kAbortPipe, 0x02}, {kResetPipe, 0x02}}));
    std::vector<uint8_t> in(4);
    EXPECT_EQ(io().read(h, in.data(), 4).status, STATUS_INVALID_PARAMETER);  // no read pipe
    EXPECT_EQ(Write(h, {1, 2, 3}).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(DeviceControl, RecoverWithNothingInFlightSendsNothing)
{
    Plug();
    auto h = Open();
    const size_t mark = Mark();
    const w98::Ticks start = now();
    auto r = Control(h, IOCTL_KVUSB_RECOVER, {});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(now(), start);
    EXPECT_TRUE(Since(mark).empty());
    io().close(h);
}

TEST_F(DeviceControl, RecoverCancelsAndResetsInTwoAndAHalfSeconds)
{
    Plug();
    auto h = Open();
    std::vector<uint8_t> buffer(64);
    auto read = io().readAsync(h, buffer.data(), 64);
    kernel().clock().sleepFor(5 * kMs);
    ASSERT_FALSE(read->completed());

    const size_t mark = Mark();
    const w98::Ticks start = now();
    auto r = Control(h, IOCTL_KVUSB_RECOVER, {});
    const w98::Ticks took = now() - start;
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto cancelled = read->wait();
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_EQ(Ext(1)->CurrentTransfer, nullptr);

    // 2 s + 0.25 s + 0.25 s of waits, plus one frame per control transfer.
    EXPECT_GE(took, 25 * kSecond / 10);
    EXPECT_LT(took, 25 * kSecond / 10 + 100 * kMs);
    auto controls = Controls(mark);
    ASSERT_GE(controls.size(), 4u);
    EXPECT_EQ(controls[0], Packet(0xC2, 0, 0, 0x01, 2));  // endpoint status of the write pipe
    EXPECT_EQ(controls[1], Packet(0x02, 1, 0, 0x01, 0));  // halts cleared on both pipes
    EXPECT_EQ(controls[2], Packet(0x02, 1, 0, 0x81, 0));
    EXPECT_EQ(controls[3], Packet(0x23, 2, 0, 0, 0));     // soft reset, then the register set-up
    EXPECT_TRUE(Contains(controls, Packet(0x40, 4, 0x0643, 0, 0)));
    EXPECT_TRUE(PipeRequests(mark).empty());  // the endpoint was not halted: no abort, no reset
    EXPECT_EQ(Write(h, {1, 2, 3}).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(DeviceControl, RecoverWithAHaltedEndpointTakesFiveAndAHalfSeconds)
{
    Plug();
    auto h = Open();
    std::vector<uint8_t> buffer(64);
    auto read = io().readAsync(h, buffer.data(), 64);
    kernel().clock().sleepFor(5 * kMs);
    CableOf(1).haltEndpoint(0x01);

    const size_t mark = Mark();
    const w98::Ticks start = now();
    EXPECT_EQ(Control(h, IOCTL_KVUSB_RECOVER, {}).status, STATUS_SUCCESS);
    const w98::Ticks took = now() - start;
    EXPECT_EQ(read->wait().status, STATUS_CANCELLED);
    EXPECT_GE(took, 55 * kSecond / 10);
    EXPECT_LT(took, 55 * kSecond / 10 + 100 * kMs);
    EXPECT_EQ(PipeRequests(mark), (std::vector<std::pair<uint16_t, uint8_t>>{
                                      {kAbortPipe, 0x01}, {kAbortPipe, 0x81}, {kResetPipe, 0x01}, {kResetPipe, 0x81}}));
    auto controls = Controls(mark);
    ASSERT_GE(controls.size(), 3u);
    EXPECT_EQ(controls[0], Packet(0xC2, 0, 0, 0x01, 2));
    EXPECT_TRUE(Contains(controls, Packet(0x02, 1, 0, 0x01, 0)));
    EXPECT_FALSE(CableOf(1).halted(0x01));
    EXPECT_EQ(Write(h, {4, 5, 6}).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(DeviceControl, RecoverWhenTheStatusQueryStallsSkipsAbortAndReset)
{
    Plug();
    auto h = Open();
    std::vector<uint8_t> buffer(64);
    auto read = io().readAsync(h, buffer.data(), 64);
    kernel().clock().sleepFor(5 * kMs);
    CableOf(1).haltEndpoint(0x01);
    w98::FaultRule rule;
    rule.match.bmRequestType = 0xC2;
    rule.action = w98::FaultAction::Stall;
    machine().usb().faults().add(rule);

    const size_t mark = Mark();
    const w98::Ticks start = now();
    EXPECT_EQ(Control(h, IOCTL_KVUSB_RECOVER, {}).status, STATUS_SUCCESS);
    const w98::Ticks took = now() - start;
    EXPECT_EQ(read->wait().status, STATUS_CANCELLED);
    // The word stays 0: no abort, no reset, straight to clearing the halts.
    EXPECT_TRUE(PipeRequests(mark).empty());
    EXPECT_GE(took, 25 * kSecond / 10);
    EXPECT_LT(took, 25 * kSecond / 10 + 100 * kMs);
    auto controls = Controls(mark);
    ASSERT_GE(controls.size(), 2u);
    EXPECT_EQ(controls[1], Packet(0x02, 1, 0, 0x01, 0));
    EXPECT_FALSE(CableOf(1).halted(0x01));
    io().close(h);
}

TEST_F(DeviceControl, RecoverRacingTheCompletionNeverLosesTrackOfTheTransfer)
{
    Plug();
    auto h = Open();
    const size_t idle = kernel().pool().outstanding(kTag).size();
    int cancelled = 0, finished = 0;
    std::vector<uint8_t> accepted;
    for (int i = 0; i < 150; ++i) {
        // A 64-byte write takes one frame; the recovery starts at a virtual instant around it. Every fourth
        // time the printer has no paper, so that the recovery meets a write still waiting to go out.
        const bool waits = i % 4 == 3;
        CableOf(1).setPaperEmpty(waits);
        std::vector<uint8_t> data(64, static_cast<uint8_t>(i));
        auto write = io().writeAsync(h, data.data(), 64);
        const w98::Ticks offset = (i % 3) * kMs / 2;
        auto recover = kernel().spawn([&] {
            if (offset) kernel().clock().sleepFor(offset);
            EXPECT_EQ(Control(h, IOCTL_KVUSB_RECOVER, {}).status, STATUS_SUCCESS);
        }, "recover");
        auto r = write->wait();
        recover.join();
        if (r.status == STATUS_SUCCESS) {
            EXPECT_EQ(r.information, 64u);
            accepted.insert(accepted.end(), data.begin(), data.end());
            ++finished;
        } else {
            EXPECT_EQ(r.status, STATUS_CANCELLED);
            EXPECT_EQ(r.information, 0u);
            ++cancelled;
        }
        ASSERT_EQ(Ext(1)->CurrentTransfer, nullptr) << "iteration " << i;
        ASSERT_EQ(Ext(1)->PendingIoCount, 1) << "iteration " << i;
    }
    CableOf(1).setPaperEmpty(false);
    EXPECT_EQ(cancelled + finished, 150);
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(finished, 0);
    // What a write reported is what the printer got: a cancel that came after the data moved is no loss.
    EXPECT_EQ(CableOf(1).printed(), accepted);
    EXPECT_EQ(kernel().pool().outstanding(kTag).size(), idle);
    io().close(h);
}

TEST_F(DeviceControl, InternalDeviceControlIsServedAlike)
{
    Plug();
    auto h = Open();
    std::vector<uint8_t> buffer(16, 0xEE);
    const size_t mark = Mark();
    Answer a = RawControl(Fdo(1), IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_KVUSB_READ_REGISTERS, buffer, 0, 16);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, 7u);
    EXPECT_EQ(buffer[0], CableOf(1).reg(1));
    EXPECT_EQ(buffer[7], 0xEE);
    EXPECT_EQ(Controls(mark), std::vector<w98::SetupPacket>{Packet(0xC0, 3, 1, 0, 7)});
    a = RawControl(Fdo(1), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x00222028, buffer, 0, 16);
    EXPECT_EQ(a.status, STATUS_INVALID_PARAMETER);
    io().close(h);
}

TEST_F(DeviceControl, ChildRefusesEveryCodeWithoutTouchingAnything)
{
    Plug();
    DEVICE_OBJECT* child = Child(1);
    ASSERT_NE(child, nullptr);
    auto* record = static_cast<uint8_t*>(child->DeviceExtension);
    const std::vector<uint8_t> before(record, record + sizeof(ChildExtension));
    const size_t mark = Mark();
    for (uint32_t code = IOCTL_KVUSB_WRITE_REGISTER; code <= IOCTL_KVUSB_RECOVER; code += 4) {
        std::vector<uint8_t> buffer(16, 0xEE);
        for (UCHAR major : {UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL)}) {
            Answer a = RawControl(child, major, code, buffer, 2, 16);
            EXPECT_EQ(a.returned, STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(a.status, STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(a.information, 0u);
        }
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xEE; }));
    }
    EXPECT_TRUE(Since(mark).empty());
    EXPECT_EQ(std::vector<uint8_t>(record, record + sizeof(ChildExtension)), before);
}

}  // namespace
}  // namespace testrig

namespace testrig {
namespace {

// A cable whose configuration descriptor cannot be read: the start fails before any configuration is
// selected, and the FDO stays (its devnode failed) until the cable goes.
class DeviceControlNeverConfigured : public DeviceControl {
protected:
    void PlugUnconfigurable()
    {
        w98::FaultRule rule;
        rule.match.bmRequestType = 0x80;
        rule.match.bRequest = 6;
        rule.match.wValue = 0x0200;
        rule.action = w98::FaultAction::Stall;
        rule.count = -1;
        machine().usb().faults().add(rule);
        Plug();
    }
};

TEST_F(DeviceControlNeverConfigured, FailedStartIsStoppedAndRemovedWithoutAnInterface)
{
    // The stop that Windows 98 sends after the failed start, and the removal when the cable goes, run the
    // clean-up with DosLinkActive set and no Interface or device ID.
    PlugUnconfigurable();
    auto node = machine().devnode(1);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, w98::DevNodeState::Failed);
    EXPECT_NE(kernel().io().topOfStack(node->pdo), node->pdo);  // the FDO stays
    EXPECT_EQ(Ext(1)->Interface, nullptr);
    EXPECT_FALSE(kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB1").has_value());
    EXPECT_NE(OpenPort().status, STATUS_SUCCESS);
    EXPECT_EQ(PortNumberMap[0], 0x80000000u);
    EXPECT_EQ(DeviceNameCounter, 1);
    EXPECT_EQ(machine().unplug(1), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
    EXPECT_EQ(PortNumberMap[0], 0u);
    EXPECT_EQ(DeviceNameCounter, 0);
}

}  // namespace
}  // namespace testrig
