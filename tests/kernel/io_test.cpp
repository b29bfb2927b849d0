// The I/O manager: device objects, names, request passing and completion, cancel, waits and time-outs.
#include <stdexcept>

#include "kernel_fixture.h"
#include "test_driver.h"

namespace w98::test {
namespace {


using IoTest = KernelTest;

TEST_F(IoTest, CreateDeviceZeroesTheExtensionAndNamesTheDevice) {
  PDRIVER_OBJECT driver = kernel->io().createDriver("\\Driver\\plain");
  UNICODE_STRING name = U(u"\\Device\\Plain0");
  PDEVICE_OBJECT d = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 256, &name, FILE_DEVICE_BUS_EXTENDER, 0, TRUE, &d), STATUS_SUCCESS);
  auto* ext = static_cast<unsigned char*>(d->DeviceExtension);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(ext[i], 0) << "byte " << i;
  EXPECT_EQ(d->DriverObject, driver);
  EXPECT_EQ(driver->DeviceObject, d);
  EXPECT_EQ(d->StackSize, 1);
  EXPECT_EQ(d->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_BUS_EXTENDER));
  EXPECT_TRUE(d->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_TRUE(d->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(kernel->io().findDevice("\\device\\PLAIN0"), d);

  PDEVICE_OBJECT again = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &again), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(again, nullptr);

  PDEVICE_OBJECT unnamed = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &unnamed), STATUS_SUCCESS);
  EXPECT_EQ(unnamed->DeviceExtension, nullptr);
  EXPECT_EQ(driver->DeviceObject, unnamed);  // newest first
  EXPECT_EQ(unnamed->NextDevice, d);

  IoDeleteDevice(d);
  EXPECT_EQ(kernel->io().findDevice("\\Device\\Plain0"), nullptr);
  EXPECT_FALSE(kernel->io().isLive(d));
  EXPECT_EQ(driver->DeviceObject, unnamed);
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);  // name free again
  IoDeleteDevice(d);
  IoDeleteDevice(unnamed);
}

TEST_F(IoTest, DeviceAllocationFailureIsInsufficientResources) {
  PDRIVER_OBJECT driver = kernel->io().createDriver("\\Driver\\plain");
  kernel->pool().failNth(1);
  PDEVICE_OBJECT d = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(d, nullptr);
}

TEST_F(IoTest, AttachingBuildsAStackAndDetachingUnwindsIt) {
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& middle = drv.createAttached(bottom);
  Device& top = drv.createAttached(bottom);  // attaches to the top of the stack, i.e. on middle
  EXPECT_EQ(middle.lower, bottom.object);
  EXPECT_EQ(top.lower, middle.object);
  EXPECT_EQ(top.object->StackSize, 3);
  EXPECT_EQ(bottom.object->AttachedDevice, middle.object);
  EXPECT_EQ(IoGetAttachedDevice(bottom.object), top.object);
  IoDetachDevice(middle.object);
  EXPECT_EQ(middle.object->AttachedDevice, nullptr);
  EXPECT_EQ(IoGetAttachedDevice(bottom.object), middle.object);
  IoDeleteDevice(top.object);
  EXPECT_FALSE(kernel->io().isLive(top.object));
}

TEST_F(IoTest, DeletedDeviceLivesWhileReferenced) {
  TestDriver drv(*kernel);
  Device& d = drv.create(u"\\Device\\Ref");
  ObfReferenceObject(d.object);
  IoDeleteDevice(d.object);
  EXPECT_TRUE(kernel->io().isLive(d.object));
  EXPECT_TRUE(kernel->io().isDeleted(d.object));
  EXPECT_EQ(kernel->io().findDevice("\\Device\\Ref"), nullptr);
  ObfDereferenceObject(d.object);
  EXPECT_FALSE(kernel->io().isLive(d.object));
}

TEST_F(IoTest, SymbolicLinksResolveUserPaths) {
  TestDriver drv(*kernel);
  Device& d = drv.create(u"\\Device\\KVUSB00");
  UNICODE_STRING link = U(u"\\DosDevices\\KVUSB1"), target = U(u"\\Device\\KVUSB00");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  std::string rest;
  NtStatus status = 0;
  EXPECT_EQ(kernel->io().resolveUserPath("\\\\.\\kvusb1", &rest, &status), d.object);
  EXPECT_EQ(rest, "");
  EXPECT_EQ(kernel->io().resolveUserPath("\\\\.\\KVUSB1\\x", &rest, &status), d.object);
  EXPECT_EQ(rest, "\\x");
  EXPECT_EQ(kernel->io().resolveUserPath("\\\\.\\KVUSB2", &rest, &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(kernel->io().resolveUserPath("KVUSB1", &rest, &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
  ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(kernel->io().resolveUserPath("\\\\.\\KVUSB1", &rest, &status), nullptr);
}

// Three devices; the top two pass the request down with completion routines, the bottom completes it.
TEST_F(IoTest, CompletionRoutinesRunBottomUpWithTheirOwnDevice) {
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& middle = drv.createAttached(bottom);
  Device& top = drv.createAttached(bottom);
  struct Seen {
    std::string who;
    PDEVICE_OBJECT device;
    NTSTATUS status;
  };
  std::vector<Seen> seen;
  auto forward = [&](Device& self, const char* who) {
    self.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&self, &seen, who](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      struct Ctx {
        std::vector<Seen>* seen;
        const char* who;
      };
      static Ctx ctxTop, ctxMid;
      Ctx* ctx = std::string(who) == "top" ? &ctxTop : &ctxMid;
      *ctx = {&seen, who};
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT d, PIRP i, PVOID c) -> NTSTATUS {
            auto* x = static_cast<Ctx*>(c);
            x->seen->push_back({x->who, d, i->IoStatus.Status});
            if (i->PendingReturned) IoMarkIrpPending(i);
            return STATUS_SUCCESS;
          },
          ctx, TRUE, TRUE, TRUE);
      return IofCallDriver(self.lower, irp);
    };
  };
  forward(top, "top");
  forward(middle, "middle");
  bottom.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    return Device::complete(irp, STATUS_SUCCESS, 5);
  };
  SyncResult r = sendIoctl(top.object, kCode);
  EXPECT_EQ(r.returned, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Information, 5u);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].who, "middle");
  EXPECT_EQ(seen[0].device, middle.object);
  EXPECT_EQ(seen[1].who, "top");
  EXPECT_EQ(seen[1].device, top.object);
  EXPECT_EQ(kernel->io().outstandingRequests(), 0u);
}

TEST_F(IoTest, CompletionRoutineFlagsSelectSuccessErrorOrCancel) {
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& top = drv.createAttached(bottom);
  NTSTATUS bottomStatus = STATUS_SUCCESS;
  bool onSuccess = false, onError = false;
  int calls = 0;
  top.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS { ++*static_cast<int*>(c); return STATUS_SUCCESS; },
        &calls, onSuccess, onError, FALSE);
    return IofCallDriver(top.lower, irp);
  };
  bottom.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    return Device::complete(irp, bottomStatus);
  };
  onSuccess = true;
  sendIoctl(top.object, kCode);
  EXPECT_EQ(calls, 1);
  bottomStatus = STATUS_UNSUCCESSFUL;
  sendIoctl(top.object, kCode);
  EXPECT_EQ(calls, 1) << "not invoked on error";
  onError = true;
  onSuccess = false;
  sendIoctl(top.object, kCode);
  EXPECT_EQ(calls, 2);
}

// The synchronous forwarding pattern: the routine stops completion, the dispatch routine completes again.
TEST_F(IoTest, MoreProcessingRequiredHandsTheRequestBack) {
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& top = drv.createAttached(bottom);
  ULONG_PTR infoAfterLower = 0;
  top.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventAndKeepRequest, &event, TRUE, TRUE, TRUE);
    NTSTATUS s = IofCallDriver(top.lower, irp);
    if (s == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    infoAfterLower = irp->IoStatus.Information;
    irp->IoStatus.Information = 9;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  // The bottom completes 3 ms later from a timer, at DISPATCH_LEVEL.
  bottom.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    kernel->clock().scheduleAfter(3 * Clock::kMillisecond, [irp] { Device::complete(irp, STATUS_SUCCESS, 4); });
    return STATUS_PENDING;
  };
  SyncResult r = sendIoctl(top.object, kCode);
  EXPECT_EQ(r.returned, STATUS_SUCCESS);
  EXPECT_EQ(infoAfterLower, 4u);
  EXPECT_EQ(r.iosb.Information, 9u);
  EXPECT_EQ(kernel->clock().now(), 3 * Clock::kMillisecond);
}

TEST_F(IoTest, PendingReturnedPropagatesThroughDevicesWithoutRoutines) {
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& middle = drv.createAttached(bottom);
  Device& top = drv.createAttached(bottom);
  BOOLEAN pendingSeenByTop = FALSE;
  middle.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) { return middle.passDown(irp); };
  top.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP i, PVOID c) -> NTSTATUS {
          *static_cast<BOOLEAN*>(c) = i->PendingReturned;
          if (i->PendingReturned) IoMarkIrpPending(i);
          return STATUS_SUCCESS;
        },
        &pendingSeenByTop, TRUE, TRUE, TRUE);
    return IofCallDriver(top.lower, irp);
  };
  bottom.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    kernel->clock().scheduleAfter(Clock::kMillisecond, [irp] { Device::complete(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  };
  SyncResult r = sendIoctl(top.object, kCode);
  EXPECT_EQ(r.returned, STATUS_PENDING);
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_TRUE(pendingSeenByTop);
  EXPECT_EQ(kernel->verifier().total(), 0u);
}

TEST_F(IoTest, BufferedControlCopiesInputInAndInformationBytesOut) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto* buf = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    unsigned char sum = static_cast<unsigned char>(buf[0] + buf[1] + buf[2]);
    buf[0] = sum;
    buf[1] = 0xEE;
    return Device::complete(irp, STATUS_SUCCESS, 1);  // only one byte goes back
  };
  unsigned char in[3] = {1, 2, 3};
  unsigned char out[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
  SyncResult r = sendIoctl(d.object, kBufferedCode, in, 3, out, 8, false);
  EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(out[0], 6);
  EXPECT_EQ(out[1], 0x55);
}

TEST_F(IoTest, DriverAllocatedRequestIsFreedByItsOwner) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    return Device::complete(irp, STATUS_SUCCESS, 2);
  };
  PIRP irp = IoAllocateIrp(d.object->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  bool ran = false;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT d, PIRP, PVOID c) -> NTSTATUS {
        EXPECT_EQ(d, nullptr) << "the originator's routine has no device";
        *static_cast<bool*>(c) = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &ran, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(d.object, irp), STATUS_SUCCESS);
  EXPECT_TRUE(ran);
  EXPECT_EQ(irp->IoStatus.Information, 2u);
  IoFreeIrp(irp);
  EXPECT_EQ(kernel->io().outstandingRequests(), 0u);
}

TEST_F(IoTest, CancelRunsTheCancelRoutineOnce) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  int cancelCalls = 0;
  static int* gCancelCalls;
  gCancelCalls = &cancelCalls;
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) {
      ++*gCancelCalls;
      IoReleaseCancelSpinLock(i->CancelIrql);
      Device::complete(i, STATUS_CANCELLED);
    });
    return STATUS_PENDING;
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, d.object, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_EQ(IofCallDriver(d.object, irp), STATUS_PENDING);
  LARGE_INTEGER timeout = relative(2 * Clock::kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(kernel->clock().now(), 2 * Clock::kSecond) << "the time-out fires at exactly 2 s";
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(cancelCalls, 1);
  EXPECT_EQ(kernel->clock().now(), 2 * Clock::kSecond);
}

// A cancel that arrives before the driver set its cancel routine is only visible through Irp->Cancel.
TEST_F(IoTest, CancelBeforeTheCancelRoutineIsSetLeavesTheCancelFlag) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  PIRP held = nullptr;
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, d.object, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_EQ(IofCallDriver(d.object, irp), STATUS_PENDING);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(held->Cancel);
  // The driver now queues it the careful way and notices the cancel.
  IoSetCancelRoutine(held, [](PDEVICE_OBJECT, PIRP) {});
  if (held->Cancel && IoSetCancelRoutine(held, nullptr) != nullptr) Device::complete(held, STATUS_CANCELLED);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

TEST_F(IoTest, AbsoluteTimeOutAndDelayUseSystemTime) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, Kernel::kBootSystemTime);
  LARGE_INTEGER at;
  at.QuadPart = now.QuadPart + 3 * Clock::kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
  EXPECT_EQ(kernel->clock().now(), 3 * Clock::kSecond);
  LARGE_INTEGER delay = relative(2'500'000);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_EQ(kernel->clock().now(), 3 * Clock::kSecond + 2'500'000);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets when a wait takes it";
}

TEST_F(IoTest, SynchronizationEventReleasesOneWaiterPerSet) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  int woken = 0;
  auto waiter = [&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    kernel->clock().update([&] { ++woken; });
  };
  auto a = kernel->spawn(waiter, "a");
  auto b = kernel->spawn(waiter, "b");
  kernel->clock().sleepFor(Clock::kMillisecond);
  KeSetEvent(&event, 0, FALSE);
  kernel->clock().waitUntil([&] { return woken >= 1; }, "first");
  kernel->clock().sleepFor(Clock::kMillisecond);
  EXPECT_EQ(woken, 1);
  KeSetEvent(&event, 0, FALSE);
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
}

TEST_F(IoTest, NotificationEventStaysSignalledForEveryWaiter) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// ------------------------------------------------------------------------------------------ verifier

TEST_F(IoTest, VerifierCatchesDoubleCompletion) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  sendIoctl(d.object, kCode);
  EXPECT_EQ(faults(Fault::DoubleCompletion), 1u);
}

TEST_F(IoTest, VerifierCatchesPendingMistakes) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  bool markButSucceed = false;
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (markButSucceed) {
      IoMarkIrpPending(irp);
      return Device::complete(irp, STATUS_SUCCESS);
    }
    Device::complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;  // without IoMarkIrpPending
  };
  sendIoctl(d.object, kCode);
  EXPECT_EQ(faults(Fault::PendingNotMarked), 1u);
  EXPECT_EQ(faults(Fault::MarkedNotPending), 0u);
  markButSucceed = true;
  sendIoctl(d.object, kCode);
  EXPECT_EQ(faults(Fault::MarkedNotPending), 1u);
}

TEST_F(IoTest, VerifierCatchesIrqlLeftRaisedAndBadSpinLockRelease) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    KfRaiseIrql(DISPATCH_LEVEL);
    return Device::complete(irp, STATUS_SUCCESS);
  };
  sendIoctl(d.object, kCode);
  EXPECT_EQ(faults(Fault::IrqlNotRestored), 1u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the kernel puts the IRQL back after reporting";

  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KfLowerIrql(PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);  // released at PASSIVE_LEVEL
  EXPECT_EQ(faults(Fault::SpinLock), 1u);
  KeReleaseSpinLock(&lock, old);  // not held any more
  EXPECT_EQ(faults(Fault::SpinLock), 3u) << "wrong IRQL again, and not held";
}

TEST_F(IoTest, VerifierCatchesPassiveOnlyCallsAtDispatchLevel) {
  recordFaults();
  TestDriver drv(*kernel);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  LARGE_INTEGER delay = relative(10);
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  PDEVICE_OBJECT dev = nullptr;
  IoCreateDevice(drv.object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
  KfLowerIrql(old);
  EXPECT_EQ(faults(Fault::WrongIrql), 3u);
  if (dev) IoDeleteDevice(dev);
}

TEST_F(IoTest, VerifierCatchesCompletionWithCancelRoutineSet) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    return Device::complete(irp, STATUS_SUCCESS);
  };
  sendIoctl(d.object, kCode);
  EXPECT_EQ(faults(Fault::BadCompletion), 1u);
}

TEST(IoDeathTest, DoubleCompletionAbortsByDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        TestDriver drv(kernel);
        Device& d = drv.create();
        d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
          Device::complete(irp, STATUS_SUCCESS);
          return Device::complete(irp, STATUS_SUCCESS);
        };
        sendIoctl(d.object, kCode);
      },
      "DOUBLE_COMPLETION");
}

TEST(IoDeathTest, RequestNeverCompletedIsReportedAtTheEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        TestDriver drv(kernel);
        Device& d = drv.create(u"\\Device\\Sink");
        d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
          IoMarkIrpPending(irp);
          return STATUS_PENDING;
        };
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        IofCallDriver(d.object,
                      IoBuildDeviceIoControlRequest(kCode, d.object, nullptr, 0, nullptr, 0, TRUE, &event, &iosb));
      },
      "REQUEST_LEAK.*IRP_MJ_INTERNAL_DEVICE_CONTROL held by device .*\\\\Device\\\\Sink");
}

TEST(IoDeathTest, HangReportNamesTheKernelWait) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
      },
      "HANG.*KeWaitForSingleObject\\(event .*Suspended, no time-out\\) on main");
}

}  // namespace
}  // namespace w98::test
