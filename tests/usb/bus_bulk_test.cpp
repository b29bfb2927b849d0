// Bulk transfers: the completion thread, the timing model, NAKs, short packets, cancel, abort and halts.
#include "bus_fixture.h"

using namespace usbtest;
using w98::Clock;

// The fixture is named, not in an anonymous namespace: each TEST_F class derives from it, and in a unity build
// GCC warns of a class with linkage whose base has none (-Wsubobject-linkage).
namespace usbtest {

class BulkTest : public BusTest {
 protected:
  void SetUp() override { plugAndConfigure(); }

  std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + 1);
    return v;
  }
};


}  // namespace usbtest

TEST_F(BulkTest, WriteCompletesLaterOnTheCompletionThreadAtDispatchLevel) {
  auto data = pattern(100);
  auto u = bulkUrb(outPipe, data.data(), ULONG(data.size()), USBD_SHORT_TRANSFER_OK);
  AsyncUrb a(kernel, pdo, u.get());
  EXPECT_EQ(a.dispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(a.done());
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.status(), STATUS_SUCCESS);
  EXPECT_EQ(a.irql(), DISPATCH_LEVEL);
  EXPECT_TRUE(a.onCompletionThread());
  EXPECT_EQ(a.elapsed(), Clock::kMillisecond);  // 2 packets: one frame
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(u->UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
  EXPECT_EQ(device->receivedBytes(), data);
  EXPECT_EQ(device->lastOutAddress, 0x02);

  auto log = bus.log().recordsOfKind(w98::TransferKind::Bulk);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].endpoint, 0x02);
  EXPECT_FALSE(log[0].in);
  EXPECT_EQ(log[0].data, data);
  EXPECT_EQ(log[0].actualLength, 100u);
}

TEST_F(BulkTest, DurationFollowsNineteenPacketsPerFrameAndTransfersShareTheBus) {
  auto big = pattern(4096);
  bus.resetStatistics();
  auto u = bulkUrb(outPipe, big.data(), 4096, 0);
  AsyncUrb a(kernel, pdo, u.get());
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.elapsed(), 4 * Clock::kMillisecond);  // 64 packets -> 4 frames

  // A write and a read at the same moment: the bus carries one after the other.
  device->queueIn(pattern(1216));
  auto out = pattern(1216);
  std::vector<uint8_t> in(1216);
  auto w = bulkUrb(outPipe, out.data(), 1216, 0);
  auto r = bulkUrb(inPipe, in.data(), 1216, kIn);
  AsyncUrb aw(kernel, pdo, w.get());
  AsyncUrb ar(kernel, pdo, r.get());
  ASSERT_TRUE(aw.wait());
  ASSERT_TRUE(ar.wait());
  EXPECT_EQ(aw.elapsed(), Clock::kMillisecond);
  EXPECT_EQ(ar.elapsed(), 2 * Clock::kMillisecond);
  EXPECT_EQ(in, pattern(1216));

  auto s = bus.statistics();
  EXPECT_EQ(s.bulkTransfers, 3u);
  EXPECT_EQ(s.bulkFrames, 6u);
  EXPECT_EQ(s.bulkBytesOut, 4096u + 1216u);
  EXPECT_EQ(s.bulkBytesIn, 1216u);
  EXPECT_EQ(s.bulkBusyTime, 6 * Clock::kMillisecond);
}

TEST_F(BulkTest, ShortReadCompletesWithTheBytesThatCame) {
  device->queueIn({1, 2, 3});
  std::vector<uint8_t> buffer(1024, 0xEE);
  auto u = bulkUrb(inPipe, buffer.data(), 1024, kIn);
  EXPECT_EQ(submit(u.get()), STATUS_SUCCESS);
  EXPECT_EQ(u->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ(buffer[3], 0xEE);
  auto log = bus.log().recordsOfKind(w98::TransferKind::Bulk);
  EXPECT_EQ(log.at(0).data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(log.at(0).endpoint, 0x82);
  EXPECT_TRUE(log.at(0).in);

  // Without USBD_SHORT_TRANSFER_OK a short packet is an error.
  device->queueIn({4, 5});
  auto v = bulkUrb(inPipe, buffer.data(), 1024, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(submit(v.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(v->UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
}

// USBD_HALTED: a short IN packet without USBD_SHORT_TRANSFER_OK, or a device error, halts the pipe until
// RESET_PIPE, which is refused while transfers are queued and taken at PASSIVE_LEVEL only.
TEST_F(BulkTest, ShortInOrDeviceErrorHaltsThePipeUntilResetPipe) {
  kernel.verifier().setAction(w98::Verifier::Action::Record);
  std::vector<uint8_t> buffer(64);
  auto read = [&](ULONG flags, USBD_STATUS* usbd) {
    auto u = bulkUrb(inPipe, buffer.data(), 64, flags);
    NTSTATUS s = submit(u.get());
    *usbd = u->UrbHeader.Status;
    return s;
  };
  USBD_STATUS usbd = 0;
  device->queueIn({4, 5});
  EXPECT_EQ(read(USBD_TRANSFER_DIRECTION_IN, &usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_ERROR_SHORT_TRANSFER);
  device->queueIn({6});
  EXPECT_EQ(read(kIn, &usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_ENDPOINT_HALTED);

  auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, inPipe);
  {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    AsyncUrb atDispatch(kernel, pdo, reset.get());
    KeLowerIrql(old);
    EXPECT_EQ(kernel.verifier().count(w98::Fault::WrongIrql), 1u);
  }
  EXPECT_EQ(submit(reset.get()), STATUS_SUCCESS);
  EXPECT_EQ(read(kIn, &usbd), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 6);

  device->setNakOut(true);
  auto data = pattern(8);
  auto w = bulkUrb(outPipe, data.data(), 8, 0);
  AsyncUrb queued(kernel, pdo, w.get());
  auto resetOut = pipeUrb(URB_FUNCTION_RESET_PIPE, outPipe);
  EXPECT_EQ(submit(resetOut.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(resetOut->UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
  device->setNakOut(false);
  ASSERT_TRUE(queued.wait());

  bus.faults().failNext(1, w98::FaultAction::Error);
  auto failing = bulkUrb(outPipe, data.data(), 8, 0);
  EXPECT_EQ(submit(failing.get()), STATUS_UNSUCCESSFUL);
  auto next = bulkUrb(outPipe, data.data(), 8, 0);
  EXPECT_EQ(submit(next.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(next->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(kernel.verifier().total(), 1u);
}

TEST_F(BulkTest, FullPacketsKeepAReadGoingUntilAShortOne) {
  std::vector<uint8_t> buffer(256);
  auto u = bulkUrb(inPipe, buffer.data(), 256, kIn);
  AsyncUrb a(kernel, pdo, u.get());
  device->queueIn(pattern(64));
  EXPECT_FALSE(a.wait(10 * Clock::kMillisecond));  // a full packet: more may follow
  device->queueIn({9, 9});
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(u->UrbBulkOrInterruptTransfer.TransferBufferLength, 66u);
  EXPECT_EQ(buffer[64], 9);
}

TEST_F(BulkTest, NakedWriteWaitsForTheDeviceToChange) {
  device->setNakOut(true);
  auto data = pattern(10);
  auto u = bulkUrb(outPipe, data.data(), 10, 0);
  AsyncUrb a(kernel, pdo, u.get());
  EXPECT_FALSE(a.wait(Clock::kSecond));
  int calls = device->bulkOutCalls();
  EXPECT_EQ(calls, 1);  // not polled while nothing changes
  device->setNakOut(false);
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.status(), STATUS_SUCCESS);
  EXPECT_EQ(device->receivedBytes(), data);
}

TEST_F(BulkTest, PartiallyAcceptedWriteGoesOnAfterTheChange) {
  device->outChunk = 30;
  device->nakAfterChunk = true;
  auto data = pattern(100);
  auto u = bulkUrb(outPipe, data.data(), 100, 0);
  AsyncUrb a(kernel, pdo, u.get());
  EXPECT_FALSE(a.wait(10 * Clock::kMillisecond));
  EXPECT_EQ(device->receivedBytes().size(), 30u);
  device->outChunk = SIZE_MAX;
  device->setNakOut(false);
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(device->receivedBytes(), data);
  EXPECT_EQ(u->UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
}

TEST_F(BulkTest, CancelCompletesAPendingTransferAndTheNextOneRuns) {
  std::vector<uint8_t> buffer(64);
  auto u = bulkUrb(inPipe, buffer.data(), 64, kIn);
  AsyncUrb a(kernel, pdo, u.get());
  auto v = bulkUrb(inPipe, buffer.data(), 64, kIn);
  AsyncUrb b(kernel, pdo, v.get());
  EXPECT_FALSE(a.wait(5 * Clock::kMillisecond));
  EXPECT_TRUE(a.cancel());
  ASSERT_TRUE(a.wait());
  EXPECT_EQ(a.status(), STATUS_CANCELLED);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(b.done());
  device->queueIn({42});
  ASSERT_TRUE(b.wait());
  EXPECT_EQ(b.status(), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 42);
  EXPECT_EQ(bus.pendingRequests(), 0u);
}

TEST_F(BulkTest, CancelRacingCompletionCompletesExactlyOnce) {
  // Cancel at the very moment the transfer's completion is due, many times over: the verifier aborts on a
  // double completion, and each request ends either way exactly once.
  for (int i = 0; i < 50; ++i) {
    auto data = pattern(64);
    auto u = bulkUrb(outPipe, data.data(), 64, 0);
    AsyncUrb a(kernel, pdo, u.get());
    kernel.clock().sleepFor(Clock::kMillisecond - (i % 2));
    a.cancel();
    ASSERT_TRUE(a.wait());
    EXPECT_TRUE(a.status() == STATUS_SUCCESS || a.status() == STATUS_CANCELLED) << std::hex << a.status();
    EXPECT_EQ(a.completions(), 1);
  }
  EXPECT_EQ(bus.pendingRequests(), 0u);
}

// "_URB_HEADER": the abort may complete before the transfers it aborted; they complete on the completion
// thread, as a cancelled transfer does (never inside IoCancelIrp).
TEST_F(BulkTest, AbortPipeCompletesBeforeTheTransfersItAbortsAndCancelCompletesOnTheCompletionThread) {
  std::vector<uint8_t> b1(64), b2(64);
  auto r1 = bulkUrb(inPipe, b1.data(), 64, kIn);
  auto r2 = bulkUrb(inPipe, b2.data(), 64, kIn);
  AsyncUrb a1(kernel, pdo, r1.get());
  AsyncUrb a2(kernel, pdo, r2.get());
  device->setNakOut(true);
  auto data = pattern(8);
  auto w = bulkUrb(outPipe, data.data(), 8, 0);
  AsyncUrb aw(kernel, pdo, w.get());
  EXPECT_FALSE(a1.wait(3 * Clock::kMillisecond));

  auto abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, inPipe);
  AsyncUrb ab(kernel, pdo, abort.get());
  EXPECT_EQ(ab.dispatchStatus(), STATUS_SUCCESS);
  ASSERT_TRUE(ab.done());
  EXPECT_FALSE(a1.done());
  EXPECT_FALSE(a2.done());
  ASSERT_TRUE(a1.wait());
  ASSERT_TRUE(a2.wait());
  EXPECT_TRUE(a1.onCompletionThread());
  EXPECT_EQ(a1.status(), STATUS_CANCELLED);
  EXPECT_EQ(a2.status(), STATUS_CANCELLED);
  EXPECT_EQ(r2->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(aw.done());  // the other pipe is left alone

  auto pipeLog = bus.log().recordsOfKind(w98::TransferKind::PipeRequest);
  ASSERT_EQ(pipeLog.size(), 1u);
  EXPECT_EQ(pipeLog[0].urbFunction, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(pipeLog[0].endpoint, 0x82);

  EXPECT_TRUE(aw.cancel());
  EXPECT_FALSE(aw.done()) << "completed inside IoCancelIrp";
  ASSERT_TRUE(aw.wait());
  EXPECT_TRUE(aw.onCompletionThread());
  EXPECT_EQ(aw.status(), STATUS_CANCELLED);
  EXPECT_EQ(bus.pendingRequests(), 0u);
}

TEST_F(BulkTest, StallHaltsThePipeUntilClearFeatureAndResetPipeIsHostSideOnly) {
  // The stack writes the bytes moved back into the URB, so every attempt gets a fresh one.
  auto data = pattern(16);
  auto write = [&](USBD_STATUS* usbd) {
    auto u = bulkUrb(outPipe, data.data(), 16, 0);
    NTSTATUS s = submit(u.get());
    *usbd = u->UrbHeader.Status;
    return s;
  };
  USBD_STATUS usbd = 0;
  device->stallNextOut = true;
  EXPECT_EQ(write(&usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
  int calls = device->bulkOutCalls();

  // The halted pipe fails at once without reaching the device.
  EXPECT_EQ(write(&usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(device->bulkOutCalls(), calls);

  auto clear = featureUrb(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x02);
  EXPECT_EQ(submit(clear.get()), STATUS_SUCCESS);
  EXPECT_FALSE(device->isHalted(0x02));
  EXPECT_EQ(write(&usbd), STATUS_SUCCESS);
  EXPECT_EQ(device->receivedBytes(), data);

  // RESET_PIPE lets the host side run again, but the device's endpoint stays halted and stalls again
  // until its halt is cleared.
  device->stallNextOut = true;
  EXPECT_EQ(write(&usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write(&usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_ENDPOINT_HALTED);
  auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, outPipe);
  EXPECT_EQ(submit(reset.get()), STATUS_SUCCESS);
  EXPECT_TRUE(device->isHalted(0x02));
  calls = device->bulkOutCalls();
  EXPECT_EQ(write(&usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(device->bulkOutCalls(), calls + 1);  // this one reached the device
  EXPECT_EQ(submit(reset.get()), STATUS_SUCCESS);
  EXPECT_EQ(submit(clear.get()), STATUS_SUCCESS);
  EXPECT_EQ(write(&usbd), STATUS_SUCCESS);
  EXPECT_EQ(device->receivedBytes().size(), 32u);
}

TEST_F(BulkTest, TransferLargerThanThePipesMaximumIsRefused) {
  configure(0, 1024);
  std::vector<uint8_t> data(1025);
  auto u = bulkUrb(outPipe, data.data(), 1025, 0);
  EXPECT_EQ(submit(u.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  auto v = bulkUrb(outPipe, data.data(), 1024, 0);
  EXPECT_EQ(submit(v.get()), STATUS_SUCCESS);
  EXPECT_EQ(device->receivedBytes().size(), 1024u);
  auto w = bulkUrb(outPipe, nullptr, 16, 0);
  EXPECT_EQ(submit(w.get()), STATUS_INVALID_PARAMETER);
}

TEST_F(BulkTest, UnplugFailsOnlyTheTransferBeingCarried) {
  std::vector<uint8_t> buffer(128);
  auto u = bulkUrb(inPipe, buffer.data(), 64, kIn);
  auto v = bulkUrb(inPipe, buffer.data() + 64, 64, kIn);
  AsyncUrb carried(kernel, pdo, u.get());
  AsyncUrb queued(kernel, pdo, v.get());
  EXPECT_FALSE(carried.wait(2 * Clock::kMillisecond));
  bus.unplug(port);
  ASSERT_TRUE(carried.done());
  EXPECT_EQ(carried.status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  // No function driver holds this device: the remove reaches the PDO at once, which ends the queue.
  ASSERT_TRUE(queued.done());
  EXPECT_EQ(queued.status(), STATUS_CANCELLED);
  EXPECT_EQ(bus.pdo(port), nullptr);
}

// A driver that takes the abort's return for the end of its transfers frees a request still in flight.
TEST_F(BulkTest, RequestFreedWhenTheAbortReturnsIsReported) {
  kernel.verifier().setAction(w98::Verifier::Action::Record);
  std::vector<uint8_t> buffer(64);
  auto r = bulkUrb(inPipe, buffer.data(), 64, kIn);
  PIRP irp = IoAllocateIrp(CCHAR(pdo->StackSize), FALSE);
  auto* sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  sp->Parameters.Others.Argument1 = r.get();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID e) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(e), 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  ASSERT_EQ(IofCallDriver(pdo, irp), STATUS_PENDING);
  auto abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, inPipe);
  ASSERT_EQ(submit(abort.get()), STATUS_SUCCESS);
  IoFreeIrp(irp);  // wrong: the transfer has not completed yet
  EXPECT_EQ(kernel.verifier().count(w98::Fault::BadRequest), 1u);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(irp);  // right: after its completion
  EXPECT_EQ(kernel.verifier().total(), 1u);
}
