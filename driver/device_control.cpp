// Device control. METHOD_BUFFERED throughout: input comes from the system buffer, and so does the
// reply, which the I/O manager copies back for Information bytes. Every reply region is cleared
// before the operation fills it, so a failing device shows up as zeros, never as stale data. The
// operations' own statuses are not reported: a request whose buffers pass the checks succeeds.
#include "device_control.h"

#include "../include/oslnk_ioctl.h"
#include "extension.h"
#include "pipes.h"
#include "port_controller.h"
#include "read_write.h"
#include "start.h"
#include "usb_requests.h"

void RecoverTransfer(PDEVICE_OBJECT DeviceObject)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    if (!CancelCurrentTransfer(Extension)) {
        return;  // nothing in flight: nothing is sent
    }
    USHORT EndpointStatus = 0;
    PUSBD_INTERFACE_INFORMATION Interface = Extension->Interface;
    if (Interface != nullptr && Interface->NumberOfPipes != 0) {
        GetEndpointStatus(DeviceObject, &Interface->Pipes[0], &EndpointStatus);
    }
    if (EndpointStatus != 0) {
        AbortPipes(DeviceObject, nullptr);
        Delay(RECOVER_AFTER_ABORT);
        ResetPipes(DeviceObject, nullptr);
        Delay(RECOVER_AFTER_RESET);
    }
    ClearPipeStalls(DeviceObject, nullptr);
    Delay(RECOVER_AFTER_CLEAR);
    SoftReset(DeviceObject);
    Delay(RECOVER_AFTER_SOFT_RESET);
    InitPortRegisters(DeviceObject);
    Delay(RECOVER_AFTER_INIT);
}

namespace {

// The select-interface code frees the pipe records that the pipe codes walk. It starts only when no
// other request is admitted (the count holds the bias of 1 and the selection itself) and marks itself
// in the same hold; a pipe code, admitted before it looks, then sees either the count or the mark.
BOOLEAN BeginReselect(FdoExtension* Extension)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    const BOOLEAN Alone = Extension->PendingIoCount <= 2 && Extension->CurrentTransfer == nullptr &&
                          !Extension->Reselecting;
    if (Alone) {
        Extension->Reselecting = TRUE;
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    return Alone;
}

void EndReselect(FdoExtension* Extension)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    Extension->Reselecting = FALSE;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
}

BOOLEAN ReselectInProgress(FdoExtension* Extension)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    const BOOLEAN Busy = Extension->Reselecting;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    return Busy;
}

void Clear(PUCHAR Buffer, ULONG Length)
{
    for (ULONG I = 0; I < Length; ++I) {
        Buffer[I] = 0;
    }
}

// Runs one admitted code; returns the request's status and sets *Reply to the bytes of the reply.
NTSTATUS RunControl(PDEVICE_OBJECT DeviceObject, ULONG Code, PUCHAR Buffer, ULONG InputLength, ULONG OutputLength,
                    ULONG* Reply)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    *Reply = 0;
    switch (Code) {
    case IOCTL_KVUSB_WRITE_REGISTER:
        if (Buffer == nullptr || InputLength < 2) {
            return STATUS_INVALID_PARAMETER;
        }
        WritePortRegister(DeviceObject, Buffer[0], Buffer[1]);
        return STATUS_SUCCESS;

    case IOCTL_KVUSB_READ_REGISTERS:
        if (Buffer == nullptr || OutputLength < OSLNK_REGISTER_SNAPSHOT_SIZE) {
            return STATUS_INVALID_PARAMETER;
        }
        Clear(Buffer, OSLNK_REGISTER_SNAPSHOT_SIZE);
        ReadPortRegisters(DeviceObject, Buffer);
        *Reply = OSLNK_REGISTER_SNAPSHOT_SIZE;
        return STATUS_SUCCESS;

    case IOCTL_KVUSB_GET_DEVICE_ID: {
        if (Buffer == nullptr || OutputLength == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        const USHORT Count = static_cast<USHORT>(OutputLength & 0xFFFF);
        Clear(Buffer, Count);
        ReadDeviceId(DeviceObject, Buffer, Count);
        InitPortRegisters(DeviceObject);
        *Reply = Count;
        return STATUS_SUCCESS;
    }

    case IOCTL_KVUSB_SELECT_INTERFACE:
        if (Buffer == nullptr || InputLength < 2) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Extension->ConfigurationDescriptor == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;  // never started: no configuration to select from
        }
        // The selection frees the pipe records that other requests read (a transfer in flight, a
        // pipe code walking them): refused while anything besides this request is admitted.
        if (!BeginReselect(Extension)) {
            return STATUS_DEVICE_BUSY;
        }
        SelectInterface(DeviceObject, Extension->ConfigurationDescriptor, Buffer[0], Buffer[1]);
        EndReselect(Extension);
        return STATUS_SUCCESS;

    case IOCTL_KVUSB_SOFT_RESET:
        SoftReset(DeviceObject);
        return STATUS_SUCCESS;

    case IOCTL_KVUSB_GET_PORT_STATUS:
        if (Buffer == nullptr || OutputLength == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        Buffer[0] = 0;
        GetPortStatus(DeviceObject, Buffer);
        *Reply = OSLNK_PORT_STATUS_SIZE;
        return STATUS_SUCCESS;

    case IOCTL_KVUSB_RESET_PIPE: {
        if (ReselectInProgress(Extension)) {
            return STATUS_DEVICE_BUSY;
        }
        PUSBD_INTERFACE_INFORMATION Interface = Extension->Interface;
        if (Interface != nullptr && Interface->NumberOfPipes != 0) {
            ResetPipes(DeviceObject, &Interface->Pipes[0]);  // the write pipe only
        }
        return STATUS_SUCCESS;
    }

    case IOCTL_KVUSB_ABORT_PIPES:
        if (ReselectInProgress(Extension)) {
            return STATUS_DEVICE_BUSY;
        }
        AbortPipes(DeviceObject, nullptr);
        return STATUS_SUCCESS;

    case IOCTL_KVUSB_RECOVER:
        if (ReselectInProgress(Extension)) {
            return STATUS_DEVICE_BUSY;
        }
        RecoverTransfer(DeviceObject);
        return STATUS_SUCCESS;

    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    if (Extension == nullptr) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);  // removed with a handle still open
    }
    if (!Extension->IsFdo) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);  // the child has no controller
    }

    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR Buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);

    if (!IncrementPendingIo(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    ULONG Reply = 0;
    const NTSTATUS Status = RunControl(DeviceObject, Code, Buffer, InputLength, OutputLength, &Reply);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Reply : 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementPendingIo(DeviceObject);
    return Status;
}
