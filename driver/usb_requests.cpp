// Request counting, synchronous URB submission and fixed waits.
#include "usb_requests.h"

#include "extension.h"

BOOLEAN IncrementPendingIo(PDEVICE_OBJECT DeviceObject)
{
    FdoExtension* fdo = FdoExtensionOf(DeviceObject);
    // Count first, then look at Removed: a request racing with removal is either counted (and
    // waited for) or refused, never lost.
    InterlockedIncrement(&fdo->PendingIoCount);
    if (!fdo->Removed) return TRUE;
    if (InterlockedDecrement(&fdo->PendingIoCount) == 0) KeSetEvent(&fdo->RemoveEvent, 0, FALSE);
    return FALSE;
}

VOID DecrementPendingIo(PDEVICE_OBJECT DeviceObject)
{
    FdoExtension* fdo = FdoExtensionOf(DeviceObject);
    if (InterlockedDecrement(&fdo->PendingIoCount) == 0) KeSetEvent(&fdo->RemoveEvent, 0, FALSE);
}

namespace {

// Keeps the request alive past its completion: a time-out may still cancel it, and a request freed by its
// completion could not be cancelled safely.
NTSTATUS NTAPI SubmitUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PAGED_CODE();
    FdoExtension* fdo = FdoExtensionOf(DeviceObject);

    // The event lives in pool, not on this stack: a lower driver may still touch it while we wait.
    PKEVENT event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), DDK_POOL_TAG));
    if (event == nullptr) return STATUS_NO_MEMORY;
    KeInitializeEvent(event, NotificationEvent, FALSE);

    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fdo->LowerDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, event, &ioStatus);
    if (irp == nullptr) {
        ExFreePool(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, SubmitUrbComplete, event, TRUE, TRUE, TRUE);

    if (IofCallDriver(fdo->LowerDeviceObject, irp) == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = SUBMIT_URB_TIMEOUT;
        NTSTATUS wait = KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, &timeout);
        if (wait == STATUS_TIMEOUT) {
            // The completion routine holds the request until it is completed again below, so a
            // completion racing this cancel leaves nothing freed behind it.
            IoCancelIrp(irp);
            KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, nullptr);
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    // Lets the I/O manager finish the request and free it; it may still use the event and status block.
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    ExFreePool(event);
    return status;
}

NTSTATUS Delay(ULONG Length)
{
    PAGED_CODE();
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(Length);
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IofCallDriver(FdoExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
