// Pipe maintenance. PipeFlags of each pipe record is the pipe's open marker (set by create, cleared by
// close and by the stop and remove clean-up): only open pipes are aborted, reset or cleared.
#include "pipes.h"

#include "extension.h"
#include "urb_lengths.h"
#include "usb_requests.h"

namespace {

enum class PipeOperation { Abort, Reset, ClearStall };

void FillPipeUrb(PURB Urb, PipeOperation Operation, const USBD_PIPE_INFORMATION& Pipe)
{
    RtlZeroMemory(Urb, sizeof(URB));
    switch (Operation) {
    case PipeOperation::Abort:
    case PipeOperation::Reset:
        Urb->UrbPipeRequest.Hdr.Length = PIPE_REQUEST_URB_LENGTH;
        Urb->UrbPipeRequest.Hdr.Function =
            Operation == PipeOperation::Abort ? URB_FUNCTION_ABORT_PIPE : URB_FUNCTION_RESET_PIPE;
        Urb->UrbPipeRequest.PipeHandle = Pipe.PipeHandle;
        break;
    case PipeOperation::ClearStall:
        Urb->UrbControlFeatureRequest.Hdr.Length = CONTROL_FEATURE_URB_LENGTH;
        Urb->UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
        Urb->UrbControlFeatureRequest.FeatureSelector = 0;  // ENDPOINT_HALT
        Urb->UrbControlFeatureRequest.Index = Pipe.EndpointAddress;
        Urb->UrbControlFeatureRequest.UrbLink = nullptr;
        break;
    }
}

NTSTATUS ForOpenPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe, PipeOperation Operation)
{
    PAGED_CODE();
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    PUSBD_INTERFACE_INFORMATION Interface = Extension->Interface;
    if (Interface == nullptr) {
        return STATUS_SUCCESS;
    }
    PURB Urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), DDK_POOL_TAG));
    if (Urb == nullptr) {
        return STATUS_NO_MEMORY;
    }
    NTSTATUS Status = STATUS_SUCCESS;
    const ULONG Count = Pipe != nullptr ? 1 : Interface->NumberOfPipes;
    for (ULONG I = 0; I < Count; ++I) {
        const USBD_PIPE_INFORMATION& Record = Pipe != nullptr ? *Pipe : Interface->Pipes[I];
        // A close on another thread clears the open markers under TransferLock (a removal or a stop may
        // run beside it), so they are read under it too.
        KIRQL OldIrql;
        KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
        const bool Open = Record.PipeFlags != 0;
        KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
        if (!Open) {
            continue;
        }
        FillPipeUrb(Urb, Operation, Record);
        Status = SubmitUrb(DeviceObject, Urb);  // a failure does not stop the loop
    }
    ExFreePool(Urb);
    return Status;
}

}  // namespace

NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe)
{
    return ForOpenPipes(DeviceObject, Pipe, PipeOperation::Abort);
}

NTSTATUS ResetPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe)
{
    return ForOpenPipes(DeviceObject, Pipe, PipeOperation::Reset);
}

NTSTATUS ClearPipeStalls(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe)
{
    return ForOpenPipes(DeviceObject, Pipe, PipeOperation::ClearStall);
}

NTSTATUS GetEndpointStatus(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe, PUSHORT Status)
{
    if (Status == nullptr || Pipe == nullptr) {
        return STATUS_NO_MEMORY;
    }
    PUCHAR Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 2, DDK_POOL_TAG));
    PURB Urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), DDK_POOL_TAG));
    if (Data == nullptr || Urb == nullptr) {
        if (Data != nullptr) ExFreePool(Data);
        if (Urb != nullptr) ExFreePool(Urb);
        return STATUS_NO_MEMORY;
    }
    Data[0] = 0;
    Data[1] = 0;
    RtlZeroMemory(Urb, sizeof(URB));
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& Request = Urb->UrbControlVendorClassRequest;
    Request.Hdr.Length = VENDOR_OR_CLASS_URB_LENGTH;
    Request.Hdr.Function = URB_FUNCTION_VENDOR_ENDPOINT;
    Request.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    Request.TransferBuffer = Data;
    Request.TransferBufferLength = 2;
    Request.TransferBufferMDL = nullptr;
    Request.UrbLink = nullptr;
    Request.Request = 0;
    Request.Value = 0;
    Request.Index = Pipe->EndpointAddress;

    const NTSTATUS Result = SubmitUrb(DeviceObject, Urb);
    if (NT_SUCCESS(Result)) {
        *Status = static_cast<USHORT>(Data[0] | (Data[1] << 8));
    }
    ExFreePool(Urb);
    ExFreePool(Data);
    return Result;
}

void SetPipesOpen(PUSBD_INTERFACE_INFORMATION Interface, ULONG Open)
{
    if (Interface == nullptr) {
        return;
    }
    for (ULONG I = 0; I < Interface->NumberOfPipes; ++I) {
        Interface->Pipes[I].PipeFlags = Open;
    }
}
