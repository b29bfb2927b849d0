// The NT I/O manager's rules that a driver can get wrong without noticing on a kinder emulation: completion
// clears the location it leaves, pending must be propagated, built requests report and free themselves as
// on Windows, pageable code runs at APC_LEVEL or below. Each case pairs a driver that breaks the rule with
// one that follows it.
#include "kernel_fixture.h"
#include "test_driver.h"

namespace w98::test {
namespace {


using CompletionRulesTest = KernelTest;

// Completes the request 1 ms later from a timer, after marking it pending.
NTSTATUS completeLater(Kernel& kernel, PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  IoMarkIrpPending(irp);
  kernel.clock().scheduleAfter(Clock::kMillisecond,
                               [irp, status, information] { Device::complete(irp, status, information); });
  return STATUS_PENDING;
}

TEST_F(CompletionRulesTest, CompletionRoutineFindsTheLowerLocationClearedAndItsOwnIntact) {
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& top = drv.createAttached(bottom);
  int marker = 0;
  struct Seen {
    PVOID lowerArgument = reinterpret_cast<PVOID>(1);
    UCHAR lowerMinor = 0xFF;
    UCHAR lowerControl = 0xFF;
    PVOID ownArgument = nullptr;
  } seen;
  top.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1 = &marker;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoGetNextIrpStackLocation(irp)->MinorFunction = 7;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP i, PVOID c) -> NTSTATUS {
          auto* s = static_cast<Seen*>(c);
          // Wrong: the lower driver's location is gone by now. Right: the routine's own one stays.
          s->lowerArgument = IoGetNextIrpStackLocation(i)->Parameters.Others.Argument1;
          s->lowerMinor = IoGetNextIrpStackLocation(i)->MinorFunction;
          s->lowerControl = IoGetNextIrpStackLocation(i)->Control;
          s->ownArgument = IoGetCurrentIrpStackLocation(i)->Parameters.Others.Argument1;
          if (i->PendingReturned) IoMarkIrpPending(i);
          return STATUS_SUCCESS;
        },
        &seen, TRUE, TRUE, TRUE);
    return IofCallDriver(top.lower, irp);
  };
  bottom.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    return completeLater(*kernel, irp, STATUS_SUCCESS);
  };
  SyncResult r = sendIoctl(top.object, kCode);
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(seen.lowerArgument, nullptr);
  EXPECT_EQ(seen.lowerMinor, 0);
  EXPECT_EQ(seen.lowerControl, 0);
  EXPECT_EQ(seen.ownArgument, &marker);
  EXPECT_EQ(kernel->verifier().total(), 0u);
}

// "IoMarkIrpPending": what pends below must be marked on the way up, by the completion routine or by the
// dispatch routine that returns STATUS_PENDING.
TEST_F(CompletionRulesTest, PendingMustBePropagatedAfterPassingDown) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& top = drv.createAttached(bottom);
  bottom.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    return completeLater(*kernel, irp, STATUS_SUCCESS);
  };

  // A completion routine that lets completion go on without marking.
  top.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(top.lower, irp);
  };
  EXPECT_EQ(sendIoctl(top.object, kCode).iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(faults(Fault::PendingNotMarked), 1u);

  // A dispatch routine that keeps the request back with STATUS_MORE_PROCESSING_REQUIRED, completes it
  // itself later and returns STATUS_PENDING: unmarked is a fault, marked is right.
  bool markIt = false;
  top.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP i, PVOID) -> NTSTATUS {
          IofCompleteRequest(i, IO_NO_INCREMENT);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    if (markIt) IoMarkIrpPending(irp);
    IofCallDriver(top.lower, irp);
    return STATUS_PENDING;
  };
  EXPECT_EQ(sendIoctl(top.object, kCode).iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(faults(Fault::PendingNotMarked), 2u);
  markIt = true;
  EXPECT_EQ(sendIoctl(top.object, kCode).iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(faults(Fault::PendingNotMarked), 2u);
  EXPECT_EQ(kernel->verifier().total(), 2u);
}

// "IoBuildDeviceIoControlRequest": the status block and the event tell only of success or of a request
// that pended; an error returned at once is the caller's to read from the return value.
TEST_F(CompletionRulesTest, BuiltRequestReportsThroughItsStatusBlockOnlySuccessOrPending) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  bool pend = false;
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    return pend ? completeLater(*kernel, irp, STATUS_DEVICE_NOT_CONNECTED)
                : Device::complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = 12345;
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, d.object, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(d.object, irp), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(iosb.Status, 12345);
  EXPECT_EQ(KeReadStateEvent(&event), 0);

  pend = true;
  SyncResult r = sendIoctl(d.object, kCode);
  EXPECT_EQ(r.returned, STATUS_PENDING);
  EXPECT_EQ(r.iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(kernel->io().outstandingRequests(), 0u);
}

// A built request is freed when its completion finishes. A submitter that cancels after a time-out must
// keep it with a completion routine and complete it again; one that does not cancels a freed request.
TEST_F(CompletionRulesTest, BuiltRequestIsFreedByItsCompletionUnlessItsSubmitterKeepsIt) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    return completeLater(*kernel, irp, STATUS_SUCCESS, 3);
  };
  for (bool keep : {false, true}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, d.object, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    if (keep) {
      IoSetCompletionRoutine(irp, SignalEventAndKeepRequest, &event, TRUE, TRUE, TRUE);
    }
    ASSERT_EQ(IofCallDriver(d.object, irp), STATUS_PENDING);
    // The completion came just as the submitter's wait gave up: its cancel follows the completion.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(IoCancelIrp(irp));
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (keep) {
      EXPECT_EQ(irp->IoStatus.Information, 3u);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      EXPECT_EQ(iosb.Information, 3u);
    }
    EXPECT_EQ(faults(Fault::BadRequest), 1u) << (keep ? "kept" : "not kept");
    EXPECT_EQ(kernel->io().outstandingRequests(), 0u);
  }
  EXPECT_EQ(kernel->verifier().total(), 1u);
}

TEST_F(CompletionRulesTest, InformationBeyondTheOutputBufferIsReportedNotClipped) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  ULONG_PTR information = 4;
  d.handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    return Device::complete(irp, STATUS_SUCCESS, information);
  };
  unsigned char out[4] = {};
  sendIoctl(d.object, kBufferedCode, nullptr, 0, out, sizeof out, false);
  EXPECT_EQ(faults(Fault::BadCompletion), 0u);
  information = 5;
  SyncResult r = sendIoctl(d.object, kBufferedCode, nullptr, 0, out, sizeof out, false);
  EXPECT_EQ(faults(Fault::BadCompletion), 1u);
  EXPECT_EQ(r.iosb.Information, 5u);
}

// PAGED_CODE() and ASSERT() as a checked build has them.
TEST_F(CompletionRulesTest, PagedCodeAboveApcLevelAndFailedAssertionsAreReported) {
  recordFaults();
  auto pageable = [] { PAGED_CODE(); };
  pageable();
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  pageable();
  KeLowerIrql(old);
  EXPECT_EQ(faults(Fault::WrongIrql), 0u);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  pageable();
  ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(faults(Fault::WrongIrql), 1u);
  EXPECT_EQ(faults(Fault::BadCall), 1u);
}

}  // namespace
}  // namespace w98::test
