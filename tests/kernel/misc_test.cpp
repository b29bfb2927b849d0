// Smaller kernel calls: MDLs, run-time library strings, registry query routines, object misuse.
#include <cstring>

#include "kernel_fixture.h"
#include "test_driver.h"

namespace w98::test {
namespace {

using MiscTest = KernelTest;

TEST_F(MiscTest, MdlDescribesTheBufferAndMapsToIt) {
  alignas(4096) static char buffer[8192];
  PMDL mdl = IoAllocateMdl(buffer + 100, 5000, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(mdl->ByteOffset, 100u);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 100);
  EXPECT_EQ(MmGetSystemAddressForMdl(mdl), buffer + 100);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  IoFreeMdl(mdl);

  mdl = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(MmGetSystemAddressForMdl(mdl), buffer);
  IoFreeMdl(mdl);
  EXPECT_TRUE(kernel->pool().outstanding().empty());
}

TEST_F(MiscTest, MdlOfAnIrpIsChainedAndFreeingTwiceIsReported) {
  recordFaults();
  PIRP irp = IoAllocateIrp(1, FALSE);
  char a[4], b[4];
  PMDL first = IoAllocateMdl(a, 4, FALSE, FALSE, irp);
  PMDL second = IoAllocateMdl(b, 4, TRUE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, first);
  EXPECT_EQ(first->Next, second);
  IoFreeMdl(second);
  IoFreeMdl(first);
  IoFreeMdl(first);
  EXPECT_EQ(faults(Fault::BadCall), 1u);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  EXPECT_EQ(faults(Fault::BadRequest), 1u);
}

TEST_F(MiscTest, StringHelpers) {
  UNICODE_STRING u = U(u"Port");
  EXPECT_EQ(u.Length, 8);
  EXPECT_EQ(u.MaximumLength, 10);
  ANSI_STRING a;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &u, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(a.Buffer, a.Length), "Port");
  RtlFreeAnsiString(&a);

  UNICODE_STRING lower = U(u"port");
  EXPECT_FALSE(RtlEqualUnicodeString(&u, &lower, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&u, &lower, TRUE));

  WCHAR digits[8];
  UNICODE_STRING n{0, sizeof digits, digits};
  ASSERT_EQ(RtlIntegerToUnicodeString(1024, 16, &n), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(n.Buffer, n.Length / sizeof(WCHAR)), u"400");
  WCHAR tiny[1];
  UNICODE_STRING t{0, sizeof tiny, tiny};
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &t), STATUS_BUFFER_OVERFLOW);

  WCHAR copy[3];
  UNICODE_STRING c{0, sizeof copy, copy};
  RtlCopyUnicodeString(&c, &u);
  EXPECT_EQ(c.Length, 6) << "truncated to the destination, whole units only";
  EXPECT_EQ(std::u16string(c.Buffer, 3), u"Por");
}

TEST_F(MiscTest, QueryRoutineSeesEveryValueInTheKernelsFormat) {
  registry.createKey("HKLM\\System\\CurrentControlSet\\Services\\oslnk\\Parameters");
  registry.setString("HKLM\\System\\CurrentControlSet\\Services\\oslnk\\Parameters", "Name", "KVUSB");
  registry.setDword("HKLM\\System\\CurrentControlSet\\Services\\oslnk\\Parameters", "Count", 3);
  struct Seen {
    std::u16string name;
    ULONG type;
    std::u16string text;
    ULONG number;
  };
  std::vector<Seen> seen;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].QueryRoutine = [](PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) -> NTSTATUS {
    Seen s{name, type, {}, 0};
    if (type == REG_SZ) s.text.assign(static_cast<PCWSTR>(data), length / sizeof(WCHAR) - 1);
    if (type == REG_DWORD) std::memcpy(&s.number, data, 4);
    static_cast<std::vector<Seen>*>(context)->push_back(s);
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"oslnk\\Parameters", table, &seen, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].name, u"Name");
  EXPECT_EQ(seen[0].text, u"KVUSB");
  EXPECT_EQ(seen[1].type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(seen[1].number, 3u);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"absent", table, &seen, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"absent", table, &seen, nullptr),
            STATUS_SUCCESS);
}

TEST_F(MiscTest, ObjectMisuseIsReported) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  ObfDereferenceObject(d.object);  // never referenced
  EXPECT_EQ(faults(Fault::BadObject), 1u);
  IoDeleteDevice(d.object);
  IoDeleteDevice(d.object);  // freed already: unknown
  EXPECT_EQ(faults(Fault::BadObject), 2u);
  int notAnObject = 0;
  ObfReferenceObject(&notAnObject);
  EXPECT_EQ(faults(Fault::BadObject), 3u);
}

TEST_F(MiscTest, DeviceBelowAnAttachedOneIsFreedOnlyAfterIt) {
  TestDriver drv(*kernel);
  Device& pdo = drv.create();
  Device& fdo = drv.createAttached(pdo);
  IoDeleteDevice(pdo.object);  // a bus deleting its PDO while the FDO still sits on it
  EXPECT_TRUE(kernel->io().isLive(pdo.object));
  IoDetachDevice(pdo.object);
  EXPECT_FALSE(kernel->io().isLive(pdo.object));
  IoDeleteDevice(fdo.object);
  EXPECT_EQ(kernel->io().liveDevices(), 0u);
}

TEST_F(MiscTest, DriverAllocatedRequestCompletedPastItsTopIsReported) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) { return Device::complete(irp, STATUS_SUCCESS); };
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IofCallDriver(d.object, irp);
  EXPECT_EQ(faults(Fault::BadCompletion), 1u);
  IoFreeIrp(irp);
}

// The usual pattern for a transfer: the completion routine frees the request it allocated.
TEST_F(MiscTest, RequestFreedInsideItsCompletionRoutine) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  d.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    kernel->clock().scheduleAfter(Clock::kMillisecond, [irp] { Device::complete(irp, STATUS_SUCCESS, 64); });
    return STATUS_PENDING;
  };
  struct Done {
    KEVENT event;
    ULONG_PTR information = 0;
  };
  auto* done = static_cast<Done*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Done), 0x74736554));
  KeInitializeEvent(&done->event, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(d.object->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP i, PVOID c) -> NTSTATUS {
        auto* x = static_cast<Done*>(c);
        x->information = i->IoStatus.Information;
        IoFreeIrp(i);
        KeSetEvent(&x->event, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      done, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(d.object, irp), STATUS_PENDING);
  KeWaitForSingleObject(&done->event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(done->information, 64u);
  ExFreePool(done);
  EXPECT_EQ(kernel->io().outstandingRequests(), 0u);
  EXPECT_TRUE(kernel->pool().outstanding(0x20707249).empty()) << kernel->pool().report();  // "Irp "
  EXPECT_EQ(kernel->verifier().total(), 0u);
}

TEST_F(MiscTest, ReusedRequestCanBeSentAgain) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  int calls = 0;
  d.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    return Device::complete(irp, STATUS_SUCCESS, calls);
  };
  PIRP irp = IoAllocateIrp(1, FALSE);
  for (int round = 1; round <= 2; ++round) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
        TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(d.object, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, static_cast<ULONG_PTR>(round));
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, 2);
  }
  IoFreeIrp(irp);
}

TEST_F(MiscTest, TimerLeavingTheIrqlRaisedIsReported) {
  recordFaults();
  bool ran = false;
  kernel->clock().scheduleAfter(Clock::kMillisecond, [&] {
    KfRaiseIrql(HIGH_LEVEL);
    kernel->clock().update([&] { ran = true; });
  });
  kernel->clock().waitUntil([&] { return ran; }, "timer");
  kernel->clock().sleepFor(Clock::kMillisecond);
  EXPECT_EQ(faults(Fault::IrqlNotRestored), 1u);
}

TEST_F(MiscTest, TickCountFollowsVirtualTime) {
  kernel->clock().sleepFor(Clock::kSecond);
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart * KeQueryTimeIncrement(), Clock::kSecond);
}

TEST_F(MiscTest, DefaultDispatchFailsUnhandledMajorFunctions) {
  PDRIVER_OBJECT driver = kernel->io().createDriver("\\Driver\\bare");
  PDEVICE_OBJECT d = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
  SyncResult r = sendIoctl(d, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS));
  EXPECT_EQ(r.returned, STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(d);
}

TEST_F(MiscTest, UnknownMajorFunctionIsAnInvalidRequest) {
  TestDriver drv(*kernel);
  Device& d = drv.create();
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = 0x40;
  NTSTATUS seen = 0;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP i, PVOID c) -> NTSTATUS {
        *static_cast<NTSTATUS*>(c) = i->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(d.object, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(seen, STATUS_INVALID_DEVICE_REQUEST);
  IoFreeIrp(irp);
}

TEST_F(MiscTest, NoStackLocationLeftIsReported) {
  recordFaults();
  TestDriver drv(*kernel);
  Device& bottom = drv.create();
  Device& top = drv.createAttached(bottom);
  PIRP irp = IoAllocateIrp(1, FALSE);  // one location too few for a two-device stack
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  // The top device sends it on without a location of its own to give (the copy would write outside it).
  top.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP i) { return IofCallDriver(top.lower, i); };
  EXPECT_EQ(IofCallDriver(top.object, irp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(faults(Fault::BadRequest), 1u);
  IoFreeIrp(irp);
}

TEST_F(MiscTest, SynchronousFsdReadOnABufferedDeviceCopiesBack) {
  TestDriver drv(*kernel);
  Device& d = drv.create(nullptr, false, DO_BUFFERED_IO);
  d.handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 6u);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
    return Device::complete(irp, STATUS_SUCCESS, 3);
  };
  char buffer[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, d.object, buffer, 6, nullptr, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(d.object, irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(std::string(buffer, 6), "abcxxx");
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(MiscTest, FailedDriverEntryLeavesNoDriverObject) {
  NtStatus status = 0;
  auto* d = kernel->io().createDriver(
      "\\Driver\\broken", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_DEVICE_DATA_ERROR; },
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\broken", &status);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
}

}  // namespace
}  // namespace w98::test
