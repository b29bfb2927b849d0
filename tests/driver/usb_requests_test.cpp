// Request admission and counting against removal, SubmitUrb's three outcomes (at once, pending, timed
// out and cancelled) in virtual time, its failures, and Delay.
#include "driver_fixtures.h"

namespace testrig {
namespace {


class UsbRequests : public MachineTest {
protected:
    // A device-descriptor request into `buffer`, as a driver builds it.
    static _URB_CONTROL_DESCRIPTOR_REQUEST DescriptorRequest(uint8_t* buffer)
    {
        _URB_CONTROL_DESCRIPTOR_REQUEST urb{};
        urb.Hdr.Length = sizeof(urb);
        urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        urb.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        urb.TransferBuffer = buffer;
        urb.TransferBufferLength = 18;
        return urb;
    }

    int portOf(int number) { return machine().cable(number)->port; }
};

TEST_F(UsbRequests, AdmissionCountsAndRefusesOnceRemoved)
{
    const int number = plug(silentPrinterCable());
    PDEVICE_OBJECT device = fdo(number);
    FdoExtension& ext = extension(number);
    EXPECT_EQ(ext.PendingIoCount, 1);  // the bias held from creation

    ASSERT_TRUE(IncrementPendingIo(device));
    ASSERT_TRUE(IncrementPendingIo(device));
    EXPECT_EQ(ext.PendingIoCount, 3);
    DecrementPendingIo(device);
    DecrementPendingIo(device);
    EXPECT_EQ(ext.PendingIoCount, 1);

    ext.Removed = 1;
    EXPECT_FALSE(IncrementPendingIo(device));
    EXPECT_EQ(ext.PendingIoCount, 1);
    ext.Removed = 0;
}

TEST_F(UsbRequests, RemovalWaitsForEveryAdmittedRequest)
{
    const int number = plug(silentPrinterCable());
    PDEVICE_OBJECT device = fdo(number);
    ASSERT_TRUE(IncrementPendingIo(device));  // a request the driver is still working on

    std::atomic<int32_t> removal{1};
    w98::Kernel::Thread unplugger = kernel().spawn([&] { removal = machine().unplug(number); }, "unplug");

    // However long we wait, removal stays blocked on the admitted request...
    kernel().clock().sleepFor(30 * w98::Clock::kSecond);
    EXPECT_FALSE(unplugger.finished());
    FdoExtension& ext = extension(number);
    EXPECT_EQ(ext.Removed, 1);
    EXPECT_EQ(ext.PendingIoCount, 1);  // the bias was given back; our request remains
    // ...and admits nothing new in the meantime, without disturbing the count.
    EXPECT_FALSE(IncrementPendingIo(device));
    EXPECT_EQ(ext.PendingIoCount, 1);

    DecrementPendingIo(device);  // the last request finishes: removal goes on
    unplugger.join();
    EXPECT_EQ(removal.load(), kSuccess);
    EXPECT_EQ(kernel().io().findDevice("\\Device\\KVUSB00"), nullptr);
}

TEST_F(UsbRequests, SubmitUrbThatCompletesAtOnceDoesNotWait)
{
    const int number = plug(silentPrinterCable());
    uint8_t buffer[18] = {};
    auto urb = DescriptorRequest(buffer);
    const size_t blocks = driverBlocks();
    const w98::Ticks before = now();

    EXPECT_EQ(SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb)), kSuccess);
    EXPECT_EQ(now(), before);
    EXPECT_TRUE(USBD_SUCCESS(urb.Hdr.Status));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 18), cable(number).deviceDescriptor());
    EXPECT_EQ(driverBlocks(), blocks);  // the event went back to the pool
}

TEST_F(UsbRequests, SubmitUrbWaitsForAPendingRequest)
{
    const int number = plug(silentPrinterCable());
    usb().setSynchronousControl(portOf(number), false);
    uint8_t buffer[18] = {};
    auto urb = DescriptorRequest(buffer);
    const w98::Ticks before = now();

    EXPECT_EQ(SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb)), kSuccess);
    EXPECT_EQ(now() - before, w98::usb_timing::kFrame);
    EXPECT_EQ(buffer[0], 18);
    EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);
}

TEST_F(UsbRequests, SubmitUrbCancelsARequestStillPendingAfterTwoSeconds)
{
    const int number = plug(silentPrinterCable());
    w98::FaultRule hang;
    hang.match.urbFunction = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    hang.action = w98::FaultAction::Hang;
    usb().faults().add(hang);
    uint8_t buffer[18] = {};
    auto urb = DescriptorRequest(buffer);
    const w98::Ticks before = now();

    const int32_t status = SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb));
    EXPECT_EQ(status, kCancelled);
    // The bus lets go of a cancelled transfer at the next frame; SubmitUrb waited for that.
    EXPECT_EQ(now() - before, 2 * w98::Clock::kSecond + w98::usb_timing::kFrame);
    EXPECT_EQ(usb().pendingRequests(), 0u);
    EXPECT_EQ(kernel().io().outstandingRequests(), 0u);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(UsbRequests, SubmitUrbWaitsOutASlowRequestUnderTheLimit)
{
    const int number = plug(silentPrinterCable());
    w98::FaultRule slow;
    slow.match.urbFunction = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    slow.action = w98::FaultAction::Slow;
    slow.extraDelay = 1900 * w98::Clock::kMillisecond;
    usb().faults().add(slow);
    uint8_t buffer[18] = {};
    auto urb = DescriptorRequest(buffer);
    const w98::Ticks before = now();

    EXPECT_EQ(SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb)), kSuccess);
    // The bus adds the delay to the request's own frame.
    EXPECT_EQ(now() - before, 1900 * w98::Clock::kMillisecond + w98::usb_timing::kFrame);
    EXPECT_EQ(buffer[0], 18);
}

// The completion due at the very moment of the time-out races the cancel, many times over: the request is
// freed when its completion ends, so a cancel after it must not touch it (the verifier aborts otherwise).
TEST_F(UsbRequests, SubmitUrbTimeOutRacingTheCompletionCancelsNothingFreed)
{
    const int number = plug(silentPrinterCable());
    for (int i = 0; i < 100; ++i) {
        w98::FaultRule slow;
        slow.match.urbFunction = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        slow.action = w98::FaultAction::Slow;
        slow.extraDelay = 2 * w98::Clock::kSecond - w98::usb_timing::kFrame;
        usb().faults().add(slow);
        uint8_t buffer[18] = {};
        auto urb = DescriptorRequest(buffer);
        const int32_t status = SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb));
        EXPECT_TRUE(status == kSuccess || status == kCancelled) << std::hex << status;
        EXPECT_EQ(kernel().io().outstandingRequests(), 0u);
    }
}

TEST_F(UsbRequests, SubmitUrbReturnsTheLowerDriversFailure)
{
    const int number = plug(silentPrinterCable());
    usb().faults().failNext(1, w98::FaultAction::Stall);
    uint8_t buffer[18] = {};
    auto urb = DescriptorRequest(buffer);
    const int32_t status = SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb));
    EXPECT_LT(status, 0);
    EXPECT_NE(status, kCancelled);
    EXPECT_FALSE(USBD_SUCCESS(urb.Hdr.Status));
}

TEST_F(UsbRequests, SubmitUrbWithoutMemorySendsNothingAndLeaksNothing)
{
    const int number = plug(silentPrinterCable());
    uint8_t buffer[18] = {};
    auto urb = DescriptorRequest(buffer);
    const size_t blocks = driverBlocks();
    const size_t sent = usb().log().size();

    // First the event, then the request itself cannot be allocated.
    kernel().pool().failNth(1);
    EXPECT_EQ(SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb)), kNoMemory);
    kernel().pool().failNth(2);
    EXPECT_EQ(SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb)), kInsufficientResources);
    kernel().pool().clearFaults();

    EXPECT_EQ(usb().log().size(), sent);
    EXPECT_EQ(driverBlocks(), blocks);
    EXPECT_EQ(kernel().io().outstandingRequests(), 0u);
    EXPECT_EQ(SubmitUrb(fdo(number), reinterpret_cast<PURB>(&urb)), kSuccess);
}

TEST_F(UsbRequests, DelaySleepsTheGivenVirtualTime)
{
    plug(silentPrinterCable());
    w98::Ticks before = now();
    Delay(2500000);
    EXPECT_EQ(now() - before, 2500000);
    before = now();
    Delay(10000000);
    EXPECT_EQ(now() - before, 10000000);
    before = now();
    Delay(20000000);
    EXPECT_EQ(now() - before, 20000000);
}

}  // namespace
}  // namespace testrig
