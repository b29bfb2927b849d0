// Create, close and cleanup. None of them takes part in the pending-request accounting, and none
// passes its request down.
//
// Requests on a device object without an extension (an FDO that removal left in place because a
// handle was open) complete at once. Requests addressed to the child printer device, which has no
// name and no data path, touch nothing: create is refused with STATUS_INVALID_DEVICE_REQUEST, close
// and cleanup succeed.
#include "create_close.h"

#include "extension.h"
#include "pipes.h"
#include "read_write.h"
#include "usb_requests.h"

namespace {

bool IsChild(PDEVICE_OBJECT DeviceObject)
{
    // The first four fields of both records match; IsFdo is 0 only in the child's.
    return !FdoExtensionOf(DeviceObject)->IsFdo;
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    if (Extension == nullptr) {
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    if (IsChild(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    // Test and set in one step: two creates at once must not both get in. A device whose removal has
    // begun takes no new client: removal frees what an open would hand out.
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    const BOOLEAN Removing = Extension->Removed;
    const BOOLEAN WasOpen = Extension->Opened;
    if (!Removing) {
        Extension->Opened = TRUE;
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Removing) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (WasOpen) {
        return CompleteRequest(Irp, STATUS_OBJECT_NAME_COLLISION);
    }

    // Sized now and remembered: MaxTransferSize is driver-wide and may change with the next AddDevice.
    const ULONG Size = MaxTransferSize;
    PVOID Buffer = Size != 0 ? ExAllocatePoolWithTag(NonPagedPool, Size, DDK_POOL_TAG) : nullptr;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    if (Extension->Removed) {
        // Removal began meanwhile and may have freed the record's belongings already: keep nothing.
        Extension->Opened = FALSE;
        KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
        if (Buffer != nullptr) {
            ExFreePool(Buffer);
        }
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    PVOID Stale = Extension->TransferBuffer;
    Extension->TransferBuffer = Buffer;  // may be null: reads and writes are then refused
    Extension->TransferBufferSize = Buffer != nullptr ? Size : 0;
    SetPipesOpen(Extension->Interface, 1);
    Extension->OpenFileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Stale != nullptr) {
        ExFreePool(Stale);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    if (Extension == nullptr) {
        // Removal freed the record's belongings and deleted the device object; the I/O manager lets
        // the object go once this last handle is closed.
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    if (IsChild(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    // Only the file object that create admitted closes the device. Windows never sends a close for a
    // refused open, but Wine does (its server hands the handle out before the driver answers the create).
    PFILE_OBJECT Closing = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    if (!Extension->Opened || Closing != Extension->OpenFileObject) {
        KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    SetPipesOpen(Extension->Interface, 0);
    Extension->Opened = FALSE;
    PVOID Buffer = Extension->TransferBuffer;
    Extension->TransferBuffer = nullptr;
    Extension->TransferBufferSize = 0;
    Extension->OpenFileObject = nullptr;
    // The I/O manager sends the close only after every request on the handle has completed; should a
    // transfer still use the buffer all the same, it frees the buffer when it finishes.
    if (Buffer != nullptr && Extension->CurrentTransfer != nullptr && Extension->CurrentTransfer->Staging == Buffer) {
        Extension->CurrentTransfer->OwnsStaging = TRUE;
        Buffer = nullptr;
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Buffer != nullptr) {
        ExFreePool(Buffer);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    // Cancels nothing and changes no state, on any device object and for any file object.
    return CompleteRequest(Irp, STATUS_SUCCESS);
}
