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

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
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

    NTSTATUS status = IofCallDriver(fdo->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = SUBMIT_URB_TIMEOUT;
        NTSTATUS wait = KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, &timeout);
        if (wait == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            // The request still owns the event and the status block until it has completed.
            KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, nullptr);
        }
    } else {
        ioStatus.Status = status;
    }

    ExFreePool(event);
    return ioStatus.Status;
}

NTSTATUS Delay(ULONG Length)
{
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
