// The data path: each read or write is one bulk transfer through the open's staging buffer.
#pragma once
#include "kernel.h"

struct FdoExtension;

// The one read or write in flight on a cable (FdoExtension::CurrentTransfer points to it).
struct TransferContext {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;  // first, so the URB's address is the context's
    PIRP Irp;
    BOOLEAN Cancelled;        // CancelTransfer was called for it (a record only: the bus decides the outcome)
    BOOLEAN IsRead;
    // Guarded by FdoExtension::TransferLock: a canceller that still needs the request, and the
    // completion that found one and left the request to it.
    BOOLEAN CancelHeld;
    BOOLEAN CompletionStarted;
    BOOLEAN CompletionDeferred;
    PVOID CallerBuffer;       // system address of the caller's buffer (reads copy into it)
    PDEVICE_OBJECT DeviceObject;
    PVOID Staging;            // the open's staging buffer that the URB describes
    // Under TransferLock: the open was closed while this transfer used its staging buffer, which the
    // transfer now owns and frees when it finishes.
    BOOLEAN OwnsStaging;
};

// Selector of TransferData: low byte the pipe index in Interface, PIPE_SELECTOR_IN for bulk IN.
constexpr USHORT PIPE_SELECTOR_IN = 0x0100;
constexpr USHORT WRITE_PIPE_SELECTOR = 0x0000;  // pipe 0, out
constexpr USHORT READ_PIPE_SELECTOR = 0x0101;   // pipe 1, in

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS TransferData(PDEVICE_OBJECT DeviceObject, PIRP Irp, USHORT PipeSelector);
NTSTATUS NTAPI TransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Marks the context cancelled and cancels its request; the caller guarantees the request is alive.
BOOLEAN CancelTransfer(TransferContext* Context);
// Cancels the transfer in CurrentTransfer, if any, safely against its completion. PASSIVE_LEVEL.
// FALSE when no transfer was in flight.
BOOLEAN CancelCurrentTransfer(FdoExtension* Extension);
