// Create, close, cleanup, reads and writes, through the user-mode I/O of the machine and the simulated
// cable and printer.
#include <algorithm>
#include <numeric>

#include "driver_fixtures.h"
#include "driver/child.h"

namespace testrig {
namespace {

class DataPath : public DriverTest {
protected:
    std::vector<w98::TrafficRecord> Bulk(size_t mark)
    {
        std::vector<w98::TrafficRecord> out;
        for (auto& r : Since(mark))
            if (r.kind == w98::TransferKind::Bulk) out.push_back(r);
        return out;
    }
    static std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1)
    {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
        return v;
    }
    // A write or read request sent straight to the FDO (no handle), over `buffer`.
    Answer RawTransfer(DEVICE_OBJECT* fdo, UCHAR major, std::vector<uint8_t>& buffer)
    {
        PMDL mdl = buffer.empty() ? nullptr
                                  : IoAllocateMdl(buffer.data(), static_cast<ULONG>(buffer.size()), FALSE, FALSE, nullptr);
        if (mdl) MmBuildMdlForNonPagedPool(mdl);
        Answer a = Send(fdo, major, 0, [&](PIO_STACK_LOCATION sp, PIRP irp) {
            irp->MdlAddress = mdl;
            sp->Parameters.Write.Length = static_cast<ULONG>(buffer.size());
        });
        if (mdl) IoFreeMdl(mdl);
        return a;
    }
    size_t DriverBlocks() { return kernel().pool().outstanding(kTag).size(); }
};

TEST_F(DataPath, OpenCloseOpenGivesAFreshStagingBuffer)
{
    Plug();
    FdoExtension* ext = Ext(1);
    ASSERT_NE(ext, nullptr);
    EXPECT_FALSE(ext->Opened);
    const size_t idle = DriverBlocks();

    auto h = Open();
    EXPECT_TRUE(ext->Opened);
    ASSERT_NE(ext->TransferBuffer, nullptr);
    EXPECT_EQ(ext->TransferBufferSize, 1024u);
    EXPECT_EQ(kernel().pool().block(ext->TransferBuffer)->size, 1024u);
    for (ULONG i = 0; i < ext->Interface->NumberOfPipes; ++i) EXPECT_EQ(ext->Interface->Pipes[i].PipeFlags, 1u);
    EXPECT_EQ(DriverBlocks(), idle + 1);

    EXPECT_EQ(io().close(h), STATUS_SUCCESS);
    EXPECT_FALSE(ext->Opened);
    EXPECT_EQ(ext->TransferBuffer, nullptr);
    for (ULONG i = 0; i < ext->Interface->NumberOfPipes; ++i) EXPECT_EQ(ext->Interface->Pipes[i].PipeFlags, 0u);
    EXPECT_EQ(DriverBlocks(), idle);

    auto again = Open();
    ASSERT_NE(again, w98::UserIo::kInvalidHandle);
    EXPECT_NE(ext->TransferBuffer, nullptr);
    EXPECT_EQ(Write(again, Pattern(10)).status, STATUS_SUCCESS);
    EXPECT_EQ(io().close(again), STATUS_SUCCESS);
}

TEST_F(DataPath, SecondOpenIsRefusedAndTheFirstKeepsWorking)
{
    Plug();
    auto h = Open();
    // The I/O manager refuses a second handle on the exclusive device ...
    EXPECT_NE(OpenPort().status, STATUS_SUCCESS);
    // ... and a create that reaches the driver anyway is refused there.
    PVOID staging = Ext(1)->TransferBuffer;
    Answer second = Send(Fdo(1), IRP_MJ_CREATE, 0);
    EXPECT_EQ(second.returned, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second.status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second.information, 0u);
    EXPECT_EQ(Ext(1)->TransferBuffer, staging);

    auto data = Pattern(100);
    auto w = Write(h, data);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, 100u);
    EXPECT_EQ(CableOf(1).printed(), data);
    io().close(h);
}

// Wine sends cleanup and close for a refused open; Windows sends none while a request is outstanding.
TEST_F(DataPath, OnlyTheAdmittedFileObjectClosesAndNeverUnderATransfer)
{
    Plug();
    const size_t idle = DriverBlocks();
    auto h = Open();
    FILE_OBJECT foreign{};
    Answer refused = Send(Fdo(1), IRP_MJ_CREATE, 0, [&](PIO_STACK_LOCATION sp, PIRP) { sp->FileObject = &foreign; });
    ASSERT_EQ(refused.status, STATUS_OBJECT_NAME_COLLISION);
    CableOf(1).setOffline(true);
    auto data = Pattern(700, 3);
    auto pending = io().writeAsync(h, data.data(), static_cast<uint32_t>(data.size()));
    kernel().clock().sleepFor(10 * kMs);
    ASSERT_FALSE(pending->completed());
    PVOID staging = Ext(1)->TransferBuffer;
    for (UCHAR major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)})
        EXPECT_EQ(Send(Fdo(1), major, 0, [&](PIO_STACK_LOCATION sp, PIRP) { sp->FileObject = &foreign; }).status,
                  STATUS_SUCCESS);
    EXPECT_TRUE(Ext(1)->Opened);
    EXPECT_EQ(Ext(1)->TransferBuffer, staging);
    EXPECT_EQ(Ext(1)->Interface->Pipes[0].PipeFlags, 1u);

    // The admitted file object's close under a transfer: the device closes, the transfer keeps its buffer.
    FILE_OBJECT* own = io().fileObject(h);
    EXPECT_EQ(Send(Fdo(1), IRP_MJ_CLOSE, 0, [&](PIO_STACK_LOCATION sp, PIRP) { sp->FileObject = own; }).status,
              STATUS_SUCCESS);
    EXPECT_FALSE(Ext(1)->Opened);
    CableOf(1).setOffline(false);
    auto done = pending->wait();
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.information, data.size());
    EXPECT_EQ(CableOf(1).printed(), data);
    EXPECT_EQ(DriverBlocks(), idle);  // the transfer freed the buffer it was left
    io().close(h);
}

TEST_F(DataPath, CreatesAtTheSameMomentAdmitExactlyOne)
{
    Plug();
    DEVICE_OBJECT* fdo = Fdo(1);
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> admitted{0};
        std::atomic<int> refused{0};
        auto one = [&] {
            Answer a = Send(fdo, IRP_MJ_CREATE, 0);
            if (a.status == STATUS_SUCCESS) ++admitted;
            else if (a.status == STATUS_OBJECT_NAME_COLLISION) ++refused;
        };
        auto t1 = kernel().spawn(one, "create 1");
        auto t2 = kernel().spawn(one, "create 2");
        t1.join();
        t2.join();
        ASSERT_EQ(admitted.load(), 1) << "round " << round;
        ASSERT_EQ(refused.load(), 1) << "round " << round;
        ASSERT_EQ(Send(fdo, IRP_MJ_CLOSE, 0).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Ext(1)->TransferBuffer, nullptr);
}

TEST_F(DataPath, StagingBufferAllocationFailureStillOpens)
{
    Plug();
    kernel().pool().failTag(kTag);
    auto opened = OpenPort();
    kernel().pool().clearFaults();
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_TRUE(Ext(1)->Opened);
    EXPECT_EQ(Ext(1)->TransferBuffer, nullptr);

    const size_t mark = Mark();
    auto w = Write(opened.handle, Pattern(10));
    EXPECT_EQ(w.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(w.information, 0u);
    std::vector<uint8_t> in(10);
    EXPECT_EQ(io().read(opened.handle, in.data(), 10).status, STATUS_INSUFFICIENT_RESOURCES);
    // Too long is still too long.
    EXPECT_EQ(Write(opened.handle, Pattern(1025)).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Bulk(mark).empty());
    io().close(opened.handle);

    auto h = Open();
    EXPECT_EQ(Write(h, Pattern(10)).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(DataPath, WritesOfOneTo1024BytesGoOutWholeAndOtherLengthsAreRefused)
{
    Plug();
    auto h = Open();
    const size_t mark = Mark();

    auto one = Pattern(1, 0x42);
    auto w1 = Write(h, one);
    EXPECT_EQ(w1.status, STATUS_SUCCESS);
    EXPECT_EQ(w1.information, 1u);

    auto full = Pattern(1024, 3);
    auto wmax = Write(h, full);
    EXPECT_EQ(wmax.status, STATUS_SUCCESS);
    EXPECT_EQ(wmax.information, 1024u);

    auto over = Write(h, Pattern(1025));
    EXPECT_EQ(over.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(over.information, 0u);

    auto zero = io().write(h, one.data(), 0);
    EXPECT_EQ(zero.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(zero.information, 0u);

    // Each accepted request went out as exactly one bulk OUT transfer, never split.
    auto bulk = Bulk(mark);
    ASSERT_EQ(bulk.size(), 2u);
    EXPECT_EQ(bulk[0].endpoint, 0x01);
    EXPECT_FALSE(bulk[0].in);
    EXPECT_EQ(bulk[0].requestedLength, 1u);
    EXPECT_EQ(bulk[0].data, one);
    EXPECT_EQ(bulk[1].requestedLength, 1024u);
    EXPECT_EQ(bulk[1].data, full);

    std::vector<uint8_t> expected = one;
    expected.insert(expected.end(), full.begin(), full.end());
    EXPECT_EQ(CableOf(1).printed(), expected);
    io().close(h);
}

TEST_F(DataPath, ReadsAndWritesNeedAnOpenDevice)
{
    Plug();
    DEVICE_OBJECT* fdo = Fdo(1);
    const size_t mark = Mark();
    std::vector<uint8_t> buffer = Pattern(16);

    // Before any create.
    Answer w = RawTransfer(fdo, IRP_MJ_WRITE, buffer);
    EXPECT_EQ(w.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(w.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(w.information, 0u);
    EXPECT_EQ(RawTransfer(fdo, IRP_MJ_READ, buffer).status, STATUS_INVALID_PARAMETER);

    // After close.
    auto h = Open();
    io().close(h);
    EXPECT_EQ(RawTransfer(fdo, IRP_MJ_WRITE, buffer).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RawTransfer(fdo, IRP_MJ_READ, buffer).status, STATUS_INVALID_PARAMETER);

    EXPECT_TRUE(Bulk(mark).empty());
    EXPECT_TRUE(CableOf(1).printed().empty());
    EXPECT_EQ(Ext(1)->CurrentTransfer, nullptr);
}

TEST_F(DataPath, ShortReadWritesOnlyWhatArrived)
{
    Plug();
    auto h = Open();
    const std::vector<uint8_t> answer = {0x11, 0x22, 0x33};
    CableOf(1).queueBulkIn(answer);
    std::vector<uint8_t> buffer(1024, 0xAA);
    const size_t mark = Mark();
    auto r = io().read(h, buffer.data(), 1024);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + 3, buffer.end(), [](uint8_t b) { return b == 0xAA; }));
    auto bulk = Bulk(mark);
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].endpoint, 0x81);
    EXPECT_TRUE(bulk[0].in);
    EXPECT_EQ(bulk[0].requestedLength, 1024u);
    io().close(h);
}

TEST_F(DataPath, UnansweredReadWaitsUntilCancelled)
{
    Plug();
    auto h = Open();
    std::vector<uint8_t> buffer(64, 0x5A);
    auto request = io().readAsync(h, buffer.data(), 64);
    EXPECT_EQ(request->returned(), STATUS_PENDING);
    kernel().clock().sleepFor(30 * kSecond);
    EXPECT_FALSE(request->completed());
    EXPECT_NE(Ext(1)->CurrentTransfer, nullptr);

    EXPECT_TRUE(request->cancel());
    auto r = request->wait();
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0x5A; }));
    EXPECT_EQ(Ext(1)->CurrentTransfer, nullptr);

    // The device is ready for the next request.
    EXPECT_EQ(Write(h, Pattern(8)).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(DataPath, CleanupLeavesAPendingReadAlone)
{
    Plug();
    auto h = Open();
    EXPECT_EQ(Send(Fdo(1), IRP_MJ_CLEANUP, 0).status, STATUS_SUCCESS);
    std::vector<uint8_t> buffer(32);
    auto request = io().readAsync(h, buffer.data(), 32);
    Answer cleanup = Send(Fdo(1), IRP_MJ_CLEANUP, 0);
    EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
    EXPECT_EQ(cleanup.information, 0u);
    EXPECT_FALSE(request->completed());
    EXPECT_TRUE(Ext(1)->Opened);
    CableOf(1).queueBulkIn(std::vector<uint8_t>{1, 2});
    auto r = request->wait();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 2u);
    io().close(h);
}

TEST_F(DataPath, SecondTransferInFlightIsRefusedAndTouchesNothing)
{
    Plug();
    auto h = Open();
    CableOf(1).setOffline(true);  // the printer NAKs: the first write stays in flight
    auto first = Pattern(200, 9);
    auto pending = io().writeAsync(h, first.data(), static_cast<uint32_t>(first.size()));
    kernel().clock().sleepFor(10 * kMs);
    ASSERT_FALSE(pending->completed());
    TransferContext* inFlight = Ext(1)->CurrentTransfer;
    ASSERT_NE(inFlight, nullptr);

    auto second = Pattern(300, 77);
    auto busy = Write(h, second);
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(busy.information, 0u);
    std::vector<uint8_t> in(16);
    EXPECT_EQ(io().read(h, in.data(), 16).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ext(1)->CurrentTransfer, inFlight);

    CableOf(1).setOffline(false);
    auto done = pending->wait();
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.information, first.size());
    EXPECT_EQ(CableOf(1).printed(), first);  // the staging buffer still held the first write's bytes
    io().close(h);
}

TEST_F(DataPath, HandleKeptAcrossANewConfigurationCannotWriteUntilReopened)
{
    Plug();
    auto h = Open();
    ASSERT_EQ(Write(h, Pattern(4)).status, STATUS_SUCCESS);
    const int id = machine().devnode(1)->id;
    ASSERT_EQ(kernel().pnp().stopDevice(id), STATUS_SUCCESS);
    ASSERT_EQ(kernel().pnp().startDevice(id), STATUS_SUCCESS);
    const size_t mark = Mark();
    EXPECT_EQ(Write(h, Pattern(4)).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Ext(1)->Opened);

    // A new interface selection has the same effect.
    io().close(h);
    h = Open();
    ASSERT_EQ(Write(h, Pattern(4)).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0}).status, STATUS_SUCCESS);
    EXPECT_EQ(Write(h, Pattern(4)).status, STATUS_INVALID_PARAMETER);
    io().close(h);
    h = Open();
    EXPECT_EQ(Write(h, Pattern(4)).status, STATUS_SUCCESS);
    EXPECT_EQ(Bulk(mark).size(), 2u);
    io().close(h);
}

TEST_F(DataPath, LengthCheckFollowsTheOpensOwnBuffer)
{
    // MaxTransferSize is driver-wide and read at every AddDevice: cable 1 is configured for 4096-byte
    // transfers, opened while cable 2 has set 1024, then cable 3 sets 4096 again.
    auto& reg = machine().registry();
    const std::pair<int, uint32_t> cables[] = {{1, 4096}, {2, 1024}, {3, 4096}};
    for (auto [instance, size] : cables) {
        const std::string deviceKey = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002\\" + std::to_string(instance);
        const std::string number = "000" + std::to_string(6 + instance);
        ASSERT_TRUE(reg.createKey(deviceKey));
        ASSERT_TRUE(reg.setString(deviceKey, "Driver", "USBQXC\\" + number));
        const std::string driverKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC\\" + number;
        ASSERT_TRUE(reg.createKey(driverKey));
        ASSERT_TRUE(reg.setDword(driverKey, "MaxTransferSize", size));
    }
    Plug();
    Plug();
    ASSERT_EQ(MaxTransferSize, 1024u);
    auto h = Open();
    ASSERT_EQ(Ext(1)->TransferBufferSize, 1024u);
    Plug();
    ASSERT_EQ(MaxTransferSize, 4096u);

    const size_t mark = Mark();
    EXPECT_EQ(Write(h, Pattern(2048)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Write(h, Pattern(1025)).status, STATUS_INVALID_PARAMETER);
    auto fits = Pattern(1024);
    EXPECT_EQ(Write(h, fits).status, STATUS_SUCCESS);
    auto bulk = Bulk(mark);
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].requestedLength, 1024u);
    EXPECT_EQ(CableOf(1).printed(), fits);
    io().close(h);

    // Opened again, the buffer takes the size now in force.
    h = Open();
    EXPECT_EQ(Ext(1)->TransferBufferSize, 4096u);
    EXPECT_EQ(Write(h, Pattern(4096)).status, STATUS_SUCCESS);
    EXPECT_EQ(Write(h, Pattern(4097)).status, STATUS_INVALID_PARAMETER);
    io().close(h);
}

TEST_F(DataPath, WriteWithoutMemoryForItsRecordFailsAndSendsNothing)
{
    Plug();
    auto h = Open();
    const size_t idle = DriverBlocks();
    const size_t mark = Mark();
    kernel().pool().failTag(kTag);
    auto w = Write(h, Pattern(8));
    kernel().pool().clearFaults();
    EXPECT_EQ(w.status, STATUS_NO_MEMORY);
    EXPECT_EQ(w.information, 0u);
    EXPECT_EQ(Ext(1)->CurrentTransfer, nullptr);
    EXPECT_TRUE(Bulk(mark).empty());
    EXPECT_EQ(DriverBlocks(), idle);
    EXPECT_EQ(Write(h, Pattern(8)).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(DataPath, TransfersAfterRemovalBeganAreRefused)
{
    Plug();
    auto h = Open();
    Ext(1)->Removed = TRUE;  // what the remove request sets first
    const size_t mark = Mark();
    EXPECT_EQ(Write(h, Pattern(8)).status, STATUS_DELETE_PENDING);
    std::vector<uint8_t> in(8);
    EXPECT_EQ(io().read(h, in.data(), 8).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SOFT_RESET, {}).status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(Since(mark).empty());
    EXPECT_EQ(Ext(1)->PendingIoCount, 1);
    Ext(1)->Removed = FALSE;
    io().close(h);
}

TEST_F(DataPath, ChildHasNoDataPathAndIsNotOpened)
{
    Plug();
    DEVICE_OBJECT* child = Child(1);
    ASSERT_NE(child, nullptr);
    auto* record = static_cast<uint8_t*>(child->DeviceExtension);
    std::vector<uint8_t> before(record, record + sizeof(ChildExtension));

    Answer create = Send(child, IRP_MJ_CREATE, 0);
    EXPECT_EQ(create.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(create.returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(child, IRP_MJ_CLEANUP, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(child, IRP_MJ_CLOSE, 0).status, STATUS_SUCCESS);
    std::vector<uint8_t> buffer(8);
    EXPECT_EQ(RawTransfer(child, IRP_MJ_WRITE, buffer).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(RawTransfer(child, IRP_MJ_READ, buffer).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(std::vector<uint8_t>(record, record + sizeof(ChildExtension)), before);
    EXPECT_FALSE(Ext(1)->Opened);
}

}  // namespace
}  // namespace testrig
