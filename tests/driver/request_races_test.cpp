// Regressions found in review: who deletes an FDO that removal leaves behind with a handle open, opens
// that race a removal, and the pipe records that a new interface selection replaces while other
// requests use them.
#include "driver_fixtures.h"

namespace testrig {
namespace {

class RequestRaces : public DriverTest {};

TEST_F(RequestRaces, RemovalWithAHandleOpenDeletesTheDeviceObjectExactlyOnce)
{
    Plug();
    auto h = Open();
    DEVICE_OBJECT* fdo = Fdo(1);
    machine().unplug(1);

    // Removal deletes the object itself; the I/O manager keeps it for the open handle.
    EXPECT_TRUE(kernel().io().isLive(fdo));
    EXPECT_TRUE(kernel().io().isDeleted(fdo));
    EXPECT_EQ(fdo->DeviceExtension, nullptr);

    // A close that is not the handle's own must not delete it a second time, nor let it go early.
    EXPECT_EQ(Send(fdo, IRP_MJ_CLOSE, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(kernel().io().isLive(fdo));

    EXPECT_EQ(io().close(h), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().io().isLive(fdo));
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
}

TEST_F(RequestRaces, LingeringDeviceGivesItsKernelNameToTheNextCable)
{
    Plug();
    auto h = Open();
    machine().unplug(1);
    // The second cable takes the lowest free name again; the lingering object no longer holds it.
    Plug();
    FdoExtension* second = Ext(2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(second->DeviceName)), u"\\Device\\KVUSB00");
    EXPECT_EQ(io().close(h), STATUS_SUCCESS);
    auto h2 = Open();
    EXPECT_EQ(Write(h2, {1, 2, 3}).status, STATUS_SUCCESS);
    io().close(h2);
}

TEST_F(RequestRaces, SelectInterfaceIsRefusedWhileATransferIsInFlight)
{
    Plug();
    auto h = Open();
    std::vector<uint8_t> buffer(64);
    auto read = io().readAsync(h, buffer.data(), 64);  // the printer sends nothing: stays pending
    kernel().clock().sleepFor(5 * kMs);
    FdoExtension* ext = Ext(1);
    ASSERT_NE(ext->CurrentTransfer, nullptr);
    PUSBD_INTERFACE_INFORMATION before = ext->Interface;

    auto busy = Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0});
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(busy.information, 0u);
    // The records the transfer went out on are neither replaced nor closed.
    EXPECT_EQ(ext->Interface, before);
    EXPECT_EQ(ext->Interface->Pipes[1].PipeFlags, 1u);

    EXPECT_EQ(Control(h, IOCTL_KVUSB_RECOVER, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(read->wait().status, STATUS_CANCELLED);

    // Nothing in flight any more: the selection goes through and brings closed pipes.
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0}).status, STATUS_SUCCESS);
    ASSERT_NE(ext->Interface, nullptr);
    EXPECT_EQ(ext->Interface->Pipes[0].PipeFlags, 0u);
    EXPECT_EQ(Write(h, {1}).status, STATUS_INVALID_PARAMETER);
    io().close(h);
}

TEST_F(RequestRaces, PipeCodesAreRefusedWhileASelectionReplacesTheirRecords)
{
    Plug();
    auto h = Open();
    NTSTATUS selected = 0;
    // The select-configuration request takes one frame; the other codes arrive in the middle of it.
    auto selector = kernel().spawn([&] { selected = Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0}).status; },
                                   "select");
    kernel().clock().sleepFor(kMs / 2);
    ASSERT_TRUE(Ext(1)->Reselecting);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_ABORT_PIPES, {}).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_RESET_PIPE, {}).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_RECOVER, {}).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0}).status, STATUS_DEVICE_BUSY);
    selector.join();
    EXPECT_EQ(selected, STATUS_SUCCESS);

    // Once the selection is over the codes are served again.
    EXPECT_FALSE(Ext(1)->Reselecting);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_ABORT_PIPES, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0}).status, STATUS_SUCCESS);
    io().close(h);
}

TEST_F(RequestRaces, SelectInterfaceIsRefusedWhileAnotherControlRequestRuns)
{
    Plug();
    auto h = Open();
    // A device ID exchange takes many frames; a selection meanwhile would pull the records away.
    NTSTATUS fetched = 0;
    std::vector<uint8_t> id(256);
    auto fetcher = kernel().spawn([&] { fetched = Control(h, IOCTL_KVUSB_GET_DEVICE_ID, {}, &id).status; }, "id");
    kernel().clock().sleepFor(kMs / 2);
    PUSBD_INTERFACE_INFORMATION before = Ext(1)->Interface;
    EXPECT_EQ(Control(h, IOCTL_KVUSB_SELECT_INTERFACE, {2, 0}).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ext(1)->Interface, before);
    fetcher.join();
    EXPECT_EQ(fetched, STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(id.data())), kAcmeId);
    io().close(h);
}

TEST_F(RequestRaces, OpenWhileRemovalWaitsForRequestsIsRefused)
{
    Plug();
    DEVICE_OBJECT* fdo = Fdo(1);
    // A device ID exchange sent from kernel mode keeps the removal waiting for a while.
    std::vector<uint8_t> id(64);
    Answer fetched;
    auto fetcher = kernel().spawn([&] {
        fetched = Send(fdo, IRP_MJ_DEVICE_CONTROL, 0, [&](PIO_STACK_LOCATION sp, PIRP irp) {
            sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_KVUSB_GET_DEVICE_ID;
            sp->Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(id.size());
            irp->AssociatedIrp.SystemBuffer = id.data();
        });
    }, "device id");
    kernel().clock().sleepFor(5 * kMs);
    auto unplugger = kernel().spawn([&] { machine().unplug(1); }, "unplug");
    kernel().clock().sleepFor(5 * kMs);
    ASSERT_TRUE(kernel().io().isLive(fdo));
    ASSERT_NE(fdo->DeviceExtension, nullptr);
    ASSERT_TRUE(static_cast<FdoExtension*>(fdo->DeviceExtension)->Removed);  // removal has begun and waits

    auto opened = OpenPort(1);
    EXPECT_EQ(opened.status, STATUS_DELETE_PENDING);
    unplugger.join();
    fetcher.join();
    EXPECT_EQ(fetched.status, STATUS_SUCCESS);
    // Nothing opened, so nothing lingers: the device object went with the removal.
    EXPECT_FALSE(kernel().io().isLive(fdo));
    EXPECT_TRUE(kernel().pool().outstanding(kTag).empty()) << kernel().pool().report();
}

}  // namespace
}  // namespace testrig
