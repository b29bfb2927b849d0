// Reads and writes: one request is one bulk transfer through the staging buffer, never split and never
// queued. The transfer completes asynchronously; the recovery control code may cancel it.
//
// Cancel and completion meet on the context under TransferLock. A canceller marks the context held
// before it calls IoCancelIrp (outside the lock: the cancel may complete the request on the same
// thread); a completion that finds it held leaves the request to the canceller, which finishes it.
// So neither the context nor the request is ever used after it is gone.
#include "read_write.h"

#include "extension.h"
#include "usb_requests.h"

namespace {

PVOID SystemAddressOf(PMDL Mdl)
{
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return Mdl->MappedSystemVa;
    }
    return MmMapLockedPages(Mdl, KernelMode);
}

// The handle of pipe Index when that pipe exists and is open. The caller holds TransferLock, under
// which the interface's records are replaced, so they cannot be freed while they are read here.
BOOLEAN OpenPipeHandle(PUSBD_INTERFACE_INFORMATION Interface, ULONG Index, USBD_PIPE_HANDLE* Handle)
{
    if (Interface == nullptr || Index >= Interface->NumberOfPipes || Interface->Pipes[Index].PipeFlags != 1) {
        return FALSE;
    }
    *Handle = Interface->Pipes[Index].PipeHandle;
    return TRUE;
}

void CopyBytes(PVOID To, const void* From, ULONG Count)
{
    PUCHAR Dst = static_cast<PUCHAR>(To);
    const UCHAR* Src = static_cast<const UCHAR*>(From);
    for (ULONG I = 0; I < Count; ++I) {
        Dst[I] = Src[I];
    }
}

// Settles the request's status and information, gives the slot back and frees the context. The
// extension is not touched after DecrementPendingIo: removal may free it then.
NTSTATUS FinishTransfer(TransferContext* Context, PIRP Irp)
{
    PDEVICE_OBJECT DeviceObject = Context->DeviceObject;
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);

    // A cancelled transfer reports what the bus reported: the bus may have completed it, with data moved,
    // before the cancel reached it, and a caller that retries what was not accepted would send those bytes
    // twice if they were reported lost.
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        Irp->IoStatus.Information = 0;
    } else {
        ULONG Moved = Context->Urb.TransferBufferLength;
        const ULONG Asked = Irp->MdlAddress != nullptr ? Irp->MdlAddress->ByteCount : 0;
        if (Moved > Asked) {
            Moved = Asked;  // never more than the caller's buffer holds
        }
        if (Context->IsRead && Moved != 0 && Context->CallerBuffer != nullptr) {
            CopyBytes(Context->CallerBuffer, Context->Staging, Moved);
        }
        Irp->IoStatus.Information = Moved;
    }
    const NTSTATUS Status = Irp->IoStatus.Status;

    // The staging buffer is free again only now, after the copy above.
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    if (Extension->CurrentTransfer == Context) {
        Extension->CurrentTransfer = nullptr;
    }
    const BOOLEAN OwnsStaging = Context->OwnsStaging;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);

    if (OwnsStaging) {
        ExFreePool(Context->Staging);
    }
    ExFreePool(Context);
    DecrementPendingIo(DeviceObject);
    return Status;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferData(DeviceObject, Irp, WRITE_PIPE_SELECTOR);
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TransferData(DeviceObject, Irp, READ_PIPE_SELECTOR);
}

NTSTATUS TransferData(PDEVICE_OBJECT DeviceObject, PIRP Irp, USHORT PipeSelector)
{
    Irp->IoStatus.Information = 0;
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    if (Extension == nullptr) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);  // removed with this handle still open
    }
    if (!Extension->IsFdo) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);  // the child printer has no data path
    }
    if (!IncrementPendingIo(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }

    const ULONG PipeIndex = PipeSelector & 0xFF;
    const BOOLEAN IsRead = (PipeSelector & PIPE_SELECTOR_IN) != 0;
    USBD_PIPE_HANDLE PipeHandle = nullptr;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    const BOOLEAN PipeOpen = OpenPipeHandle(Extension->Interface, PipeIndex, &PipeHandle);
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (!PipeOpen) {
        CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
        DecrementPendingIo(DeviceObject);
        return STATUS_INVALID_PARAMETER;
    }

    PMDL Mdl = Irp->MdlAddress;
    const ULONG Length = Mdl != nullptr ? Mdl->ByteCount : 0;
    NTSTATUS Refusal = STATUS_SUCCESS;
    if (Length == 0 || Length > MaxTransferSize) {
        Refusal = STATUS_INVALID_PARAMETER;
    } else if (Extension->TransferBuffer == nullptr) {
        Refusal = STATUS_INSUFFICIENT_RESOURCES;
    } else if (Length > Extension->TransferBufferSize) {
        // MaxTransferSize grew since this open sized its buffer.
        Refusal = STATUS_INVALID_PARAMETER;
    }
    PVOID CallerBuffer = nullptr;
    if (NT_SUCCESS(Refusal)) {
        CallerBuffer = SystemAddressOf(Mdl);
        if (CallerBuffer == nullptr) {
            Refusal = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(Refusal)) {
        CompleteRequest(Irp, Refusal);
        DecrementPendingIo(DeviceObject);
        return Refusal;
    }

    TransferContext* Context = static_cast<TransferContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferContext), DDK_POOL_TAG));
    if (Context == nullptr) {
        CompleteRequest(Irp, STATUS_NO_MEMORY);
        DecrementPendingIo(DeviceObject);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(Context, sizeof(TransferContext));
    // Filled before the slot is taken: a canceller may find the context there at once and needs its request.
    Context->Irp = Irp;
    Context->IsRead = IsRead;
    Context->Cancelled = FALSE;
    Context->CallerBuffer = IsRead ? CallerBuffer : nullptr;
    Context->DeviceObject = DeviceObject;

    // One transfer at a time: a second one would share the staging buffer and the slot. The pipe is
    // looked at again in the same hold: a new selection of the interface since the check above brought
    // records whose pipes are closed, and the transfer must not go out on a handle they replaced.
    // The staging buffer is taken in the same hold: once the slot holds the context, a close hands the
    // buffer to the transfer instead of freeing it.
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    const BOOLEAN Busy = Extension->CurrentTransfer != nullptr;
    const BOOLEAN StillOpen = OpenPipeHandle(Extension->Interface, PipeIndex, &PipeHandle) &&
                              Extension->TransferBuffer != nullptr && Length <= Extension->TransferBufferSize;
    if (!Busy && StillOpen) {
        Extension->CurrentTransfer = Context;
        Context->Staging = Extension->TransferBuffer;
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Busy || !StillOpen) {
        const NTSTATUS Refused = Busy ? STATUS_DEVICE_BUSY : STATUS_INVALID_PARAMETER;
        ExFreePool(Context);
        CompleteRequest(Irp, Refused);
        DecrementPendingIo(DeviceObject);
        return Refused;
    }

    PUCHAR Staging = static_cast<PUCHAR>(Context->Staging);
    RtlZeroMemory(Staging, Length);
    if (!IsRead) {
        CopyBytes(Staging, CallerBuffer, Length);
    }

    IoMarkIrpPending(Irp);

    Context->Urb.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    Context->Urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Context->Urb.PipeHandle = PipeHandle;
    Context->Urb.TransferFlags = USBD_SHORT_TRANSFER_OK | (IsRead ? USBD_TRANSFER_DIRECTION_IN : 0);
    Context->Urb.TransferBufferLength = Length;
    Context->Urb.TransferBuffer = Staging;
    Context->Urb.TransferBufferMDL = nullptr;
    Context->Urb.UrbLink = nullptr;

    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.Others.Argument1 = &Context->Urb;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(Irp, TransferComplete, Context, TRUE, TRUE, TRUE);

    IofCallDriver(Extension->LowerDeviceObject, Irp);
    // The request was marked pending above, whatever the lower driver returned.
    return STATUS_PENDING;
}

NTSTATUS NTAPI TransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextArgument)
{
    // Completion routines run at DISPATCH_LEVEL or below; this one takes only a spin lock.
    ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    TransferContext* Context = static_cast<TransferContext*>(ContextArgument);
    FdoExtension* Extension = FdoExtensionOf(Context->DeviceObject);

    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    Context->CompletionStarted = TRUE;
    const BOOLEAN Held = Context->CancelHeld;
    if (Held) {
        Context->CompletionDeferred = TRUE;
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Held) {
        // The canceller still uses this request; it finishes and completes it.
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return FinishTransfer(Context, Irp);
}

BOOLEAN CancelTransfer(TransferContext* Context)
{
    Context->Cancelled = TRUE;
    return IoCancelIrp(Context->Irp);
}

BOOLEAN CancelCurrentTransfer(FdoExtension* Extension)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    TransferContext* Context = Extension->CurrentTransfer;
    if (Context == nullptr || Context->CompletionStarted) {
        KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
        return FALSE;
    }
    Context->Cancelled = TRUE;
    Context->CancelHeld = TRUE;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);

    PIRP Irp = Context->Irp;
    CancelTransfer(Context);

    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    Context->CancelHeld = FALSE;
    const BOOLEAN Deferred = Context->CompletionDeferred;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Deferred) {
        FinishTransfer(Context, Irp);
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return TRUE;
}
