// User-mode I/O through the I/O manager: open, read, write, device control, close, cancel.
#include <cstring>

#include "kernel_fixture.h"
#include "pnp_drivers.h"
#include "test_driver.h"

namespace w98::test {
namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class UserIoTest : public KernelTest {
 protected:
  UserIoTest() : drv(*kernel) {}

  // A named device with a DOS link, as the port driver makes them.
  Device& port(bool exclusive = true, ULONG flags = DO_DIRECT_IO) {
    Device& d = drv.create(u"\\Device\\KVUSB00", exclusive, flags);
    UNICODE_STRING link = U(u"\\DosDevices\\KVUSB1"), target = U(u"\\Device\\KVUSB00");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    auto ok = [](PDEVICE_OBJECT, PIRP irp) { return Device::complete(irp, STATUS_SUCCESS); };
    d.handlers[IRP_MJ_CREATE] = ok;
    d.handlers[IRP_MJ_CLEANUP] = ok;
    d.handlers[IRP_MJ_CLOSE] = ok;
    return d;
  }

  UserIo& user() { return kernel->user(); }
  TestDriver drv;
};

TEST_F(UserIoTest, OpenSendsCreateWithAFileObjectAndCountsHandles) {
  Device& d = port();
  PFILE_OBJECT seen = nullptr;
  std::string fileName = "unset";
  d.handlers[IRP_MJ_CREATE] = [&](PDEVICE_OBJECT, PIRP irp) {
    auto sp = IoGetCurrentIrpStackLocation(irp);
    seen = sp->FileObject;
    fileName = std::string(sp->FileObject->FileName.Length / sizeof(WCHAR), '?');
    for (size_t i = 0; i < fileName.size(); ++i) fileName[i] = static_cast<char>(sp->FileObject->FileName.Buffer[i]);
    EXPECT_EQ(d.object->ReferenceCount, 1) << "the handle is counted before the driver sees the create";
    return Device::complete(irp, STATUS_SUCCESS);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  ASSERT_EQ(h.status, STATUS_SUCCESS);
  EXPECT_EQ(seen, user().fileObject(h.handle));
  EXPECT_EQ(seen->DeviceObject, d.object);
  EXPECT_EQ(fileName, "");
  EXPECT_EQ(d.object->ReferenceCount, 1);

  // Exclusive device: the I/O manager refuses a second open without asking the driver.
  seen = nullptr;
  auto second = user().open("\\\\.\\KVUSB1");
  EXPECT_EQ(second.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(d.object->ReferenceCount, 1);

  EXPECT_EQ(user().close(h.handle), STATUS_SUCCESS);
  EXPECT_EQ(d.object->ReferenceCount, 0);
  EXPECT_EQ(user().close(h.handle), STATUS_INVALID_HANDLE);

  auto sub = user().open("\\\\.\\KVUSB1\\x");
  ASSERT_EQ(sub.status, STATUS_SUCCESS);
  EXPECT_EQ(fileName, "\\x");
  user().close(sub.handle);
}

TEST_F(UserIoTest, FailedCreateOrUnknownNameGivesNoHandle) {
  Device& d = port(false);
  EXPECT_EQ(user().open("\\\\.\\KVUSB9").status, STATUS_OBJECT_NAME_NOT_FOUND);
  d.handlers[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
    return Device::complete(irp, STATUS_OBJECT_NAME_COLLISION);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  EXPECT_EQ(h.status, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(h.handle, UserIo::kInvalidHandle);
  EXPECT_EQ(d.object->ReferenceCount, 0);
  EXPECT_EQ(user().openHandles(), 0u);
}

TEST_F(UserIoTest, DirectIoWritesAndReadsThroughAnMdlOverTheCallersBuffer) {
  Device& d = port();
  std::string written;
  d.handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
    auto sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_NE(irp->MdlAddress, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), sp->Parameters.Write.Length);
    EXPECT_FALSE(irp->MdlAddress->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    auto* data = static_cast<char*>(MmGetSystemAddressForMdl(irp->MdlAddress));
    EXPECT_TRUE(irp->MdlAddress->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    written.assign(data, sp->Parameters.Write.Length);
    return Device::complete(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
  };
  d.handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
    auto* data = static_cast<char*>(MmMapLockedPages(irp->MdlAddress, KernelMode));
    std::memcpy(data, "ink", 3);
    return Device::complete(irp, STATUS_SUCCESS, 3);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  char job[] = "%!PS hello";
  auto w = user().write(h.handle, job, 10);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 10u);
  EXPECT_EQ(written, "%!PS hello");
  char in[8] = {};
  auto r = user().read(h.handle, in, sizeof in);
  EXPECT_EQ(r.information, 3u);
  EXPECT_EQ(std::string(in, 3), "ink");
  user().close(h.handle);
}

TEST_F(UserIoTest, BufferedControlUsesOneSystemBufferAndCopiesInformationBack) {
  Device& d = port();
  d.handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    auto sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kBuffered);
    auto* buf = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(buf[0], 0x42);  // the input is in the system buffer
    for (int i = 0; i < 7; ++i) buf[i] = static_cast<unsigned char>(0x10 + i);
    return Device::complete(irp, STATUS_SUCCESS, 7);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  unsigned char in = 0x42;
  unsigned char out[16];
  std::memset(out, 0xCC, sizeof out);
  auto r = user().deviceControl(h.handle, kBuffered, &in, 1, out, sizeof out);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 7u);
  EXPECT_EQ(out[0], 0x10);
  EXPECT_EQ(out[6], 0x16);
  EXPECT_EQ(out[7], 0xCC) << "only Information bytes are copied back";
  user().close(h.handle);
}

TEST_F(UserIoTest, DirectAndNeitherControlMethodsHandOverTheCallersBuffers) {
  Device& d = port();
  constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
  constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);
  unsigned char in[2] = {7, 8};
  unsigned char out[4] = {};
  d.handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    auto sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode == kOutDirect) {
      auto* sys = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
      EXPECT_NE(sys, in) << "the input is copied";
      EXPECT_EQ(sys[1], 8);
      EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 4u);
      static_cast<unsigned char*>(MmGetSystemAddressForMdl(irp->MdlAddress))[0] = 0x99;
    } else {
      EXPECT_EQ(sp->Parameters.DeviceIoControl.Type3InputBuffer, in);
      EXPECT_EQ(irp->UserBuffer, out);
    }
    return Device::complete(irp, STATUS_SUCCESS, 1);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  EXPECT_EQ(user().deviceControl(h.handle, kOutDirect, in, 2, out, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(out[0], 0x99) << "written straight into the caller's buffer";
  EXPECT_EQ(user().deviceControl(h.handle, kNeither, in, 2, out, 4).status, STATUS_SUCCESS);
  user().close(h.handle);
}

TEST_F(UserIoTest, InformationBeyondTheOutputBufferIsReported) {
  recordFaults();
  Device& d = port();
  d.handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    return Device::complete(irp, STATUS_SUCCESS, 64);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  unsigned char out[4];
  user().deviceControl(h.handle, kBuffered, nullptr, 0, out, sizeof out);
  EXPECT_EQ(faults(Fault::BadCompletion), 1u);
  user().close(h.handle);
}

TEST_F(UserIoTest, SynchronousCallsWaitOnlyForPendingRequests) {
  Device& d = port();
  bool returnPending = true;
  d.handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (!returnPending) {
      // Completes with one status but returns another: the caller gets the returned one.
      Device::complete(irp, STATUS_SUCCESS, 5);
      return STATUS_UNSUCCESSFUL;
    }
    IoMarkIrpPending(irp);
    kernel->clock().scheduleAfter(40 * Clock::kMillisecond, [irp] { Device::complete(irp, STATUS_SUCCESS, 5); });
    return STATUS_PENDING;
  };
  auto h = user().open("\\\\.\\KVUSB1");
  char data[5] = {};
  auto w = user().write(h.handle, data, 5);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 5u);
  EXPECT_EQ(kernel->clock().now(), 40 * Clock::kMillisecond);
  returnPending = false;
  w = user().write(h.handle, data, 5);
  EXPECT_EQ(w.status, STATUS_UNSUCCESSFUL);
  user().close(h.handle);
}

TEST_F(UserIoTest, AsyncRequestCanBeCancelledAndCloseWaitsForItsRequests) {
  Device& d = port();
  static PIRP gQueued;
  gQueued = nullptr;
  d.handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    gQueued = irp;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) {
      IoReleaseCancelSpinLock(i->CancelIrql);
      gQueued = nullptr;
      Device::complete(i, STATUS_CANCELLED);
    });
    return STATUS_PENDING;
  };
  std::vector<std::string> order;
  d.handlers[IRP_MJ_CLEANUP] = [&](PDEVICE_OBJECT, PIRP irp) {
    order.push_back("cleanup");
    // The cleanup handler completes what is still queued for the handle.
    if (gQueued != nullptr && IoSetCancelRoutine(gQueued, nullptr) != nullptr) {
      PIRP q = gQueued;
      gQueued = nullptr;
      Device::complete(q, STATUS_CANCELLED);
    }
    return Device::complete(irp, STATUS_SUCCESS);
  };
  d.handlers[IRP_MJ_CLOSE] = [&](PDEVICE_OBJECT, PIRP irp) {
    order.push_back("close");
    return Device::complete(irp, STATUS_SUCCESS);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  char buf[4];
  auto first = user().readAsync(h.handle, buf, 4);
  EXPECT_EQ(first->returned(), STATUS_PENDING);
  EXPECT_FALSE(first->completed());
  EXPECT_TRUE(first->cancel());
  auto r = first->wait();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_FALSE(first->cancel()) << "nothing left to cancel";

  auto timed = user().readAsync(h.handle, buf, 4);
  Ticks start = kernel->clock().now();
  EXPECT_FALSE(timed->waitUntil(start + Clock::kSecond).has_value());
  EXPECT_EQ(kernel->clock().now(), start + Clock::kSecond);
  EXPECT_TRUE(timed->cancel());
  auto late = timed->waitUntil(start + 2 * Clock::kSecond);
  ASSERT_TRUE(late.has_value());
  EXPECT_EQ(late->status, STATUS_CANCELLED);
  EXPECT_EQ(kernel->clock().now(), start + Clock::kSecond) << "a completed request does not wait for the deadline";

  auto second = user().readAsync(h.handle, buf, 4);
  EXPECT_EQ(user().close(h.handle), STATUS_SUCCESS);
  EXPECT_EQ(order, (std::vector<std::string>{"cleanup", "close"}));
  EXPECT_TRUE(second->completed());
  EXPECT_EQ(second->wait().status, STATUS_CANCELLED);
}

TEST_F(UserIoTest, DeletedDeviceStaysWhileAHandleIsOpen) {
  Device& d = port(true, DO_BUFFERED_IO);
  d.handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "ok", 2);
    return Device::complete(irp, STATUS_SUCCESS, 2);
  };
  auto h = user().open("\\\\.\\KVUSB1");
  UNICODE_STRING link = U(u"\\DosDevices\\KVUSB1");
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(d.object);
  EXPECT_TRUE(kernel->io().isLive(d.object));
  EXPECT_EQ(user().open("\\\\.\\KVUSB1").status, STATUS_OBJECT_NAME_NOT_FOUND);
  char buf[2];
  auto r = user().read(h.handle, buf, 2);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(buf, 2), "ok");
  user().close(h.handle);
  EXPECT_FALSE(kernel->io().isLive(d.object));
}

TEST_F(UserIoTest, InvalidHandleFailsEveryCall) {
  char buf[1];
  EXPECT_EQ(user().read(1234, buf, 1).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(user().write(1234, buf, 1).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(user().deviceControl(1234, kBuffered, nullptr, 0, nullptr, 0).status, STATUS_INVALID_HANDLE);
}

// A function driver whose FDO lingers when removed with a handle open (the remove completes with
// STATUS_CANCELLED); the manager copes and the handle can still be used and closed afterwards.
class LingeringTest : public PnpTestBase {};

TEST_F(LingeringTest, RemovalWithAnOpenHandleLeavesTheDeviceObjectInPlace) {
  PDEVICE_OBJECT fdo = nullptr;
  fn().reportChild = false;
  fn().onAdd = [&](PDEVICE_OBJECT) {};
  PDEVICE_OBJECT pdo = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  fdo = IoGetAttachedDevice(pdo);
  ASSERT_NE(fdo, pdo);
  // Name the FDO so user mode can open it.
  UNICODE_STRING link = U(u"\\DosDevices\\FN1");
  ASSERT_TRUE(kernel->io().isLive(fdo));
  PDRIVER_OBJECT driver = fdo->DriverObject;
  driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLOSE] = driver->MajorFunction[IRP_MJ_CLEANUP] =
      [](PDEVICE_OBJECT, PIRP irp) { return FnComplete(irp, STATUS_SUCCESS); };
  PDEVICE_OBJECT named = nullptr;
  UNICODE_STRING name = U(u"\\Device\\FN0");
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &named), STATUS_SUCCESS);
  named->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  // Stand the FDO's handle count in for the named device's: the FDO of this test is unnamed.
  kernel->io().addHandleReference(fdo);
  auto h = kernel->user().open("\\\\.\\FN1");
  ASSERT_EQ(h.status, STATUS_SUCCESS);

  EXPECT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Unplug), STATUS_SUCCESS);
  EXPECT_TRUE(kernel->io().isLive(fdo));
  EXPECT_EQ(fdo->DeviceExtension, nullptr);
  EXPECT_EQ(kernel->pnp().devices()[0].state, DevNodeState::Removed);
  EXPECT_EQ(kernel->pnp().devices()[0].status, STATUS_SUCCESS);
  EXPECT_EQ(fn().unloads, 0) << "the driver still has device objects";
  EXPECT_EQ(kernel->user().close(h.handle), STATUS_SUCCESS);
  kernel->io().releaseHandleReference(fdo);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(named);
  IoDeleteDevice(fdo);
  EXPECT_FALSE(kernel->io().isLive(fdo));
}

}  // namespace
}  // namespace w98::test

namespace w98::test {
namespace {

TEST_F(LingeringTest, DriverStaysLoadedWhileADeletedDeviceHasAnOpenHandle) {
  fn().reportChild = false;
  PDEVICE_OBJECT pdo = bus->plug();
  ASSERT_EQ(kernel->pnp().deviceArrived(pdo), STATUS_SUCCESS);
  PDRIVER_OBJECT driver = IoGetAttachedDevice(pdo)->DriverObject;
  driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLOSE] = driver->MajorFunction[IRP_MJ_CLEANUP] =
      driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) { return FnComplete(irp, STATUS_SUCCESS); };
  PDEVICE_OBJECT named = nullptr;
  UNICODE_STRING name = U(u"\\Device\\FN0"), link = U(u"\\DosDevices\\FN1");
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &named), STATUS_SUCCESS);
  named->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  auto h = kernel->user().open("\\\\.\\FN1");
  ASSERT_EQ(h.status, STATUS_SUCCESS);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(named);
  ASSERT_EQ(kernel->pnp().deviceRemoved(pdo, Removal::Unplug), STATUS_SUCCESS);
  EXPECT_EQ(fn().unloads, 0);
  EXPECT_TRUE(kernel->pnp().driverLoaded("testfn"));
  char buf[1];
  EXPECT_EQ(kernel->user().read(h.handle, buf, 1).status, STATUS_SUCCESS) << "still dispatched to the driver";
  EXPECT_EQ(kernel->user().close(h.handle), STATUS_SUCCESS);
  EXPECT_EQ(kernel->io().liveDevices(), 0u);
}

}  // namespace
}  // namespace w98::test
