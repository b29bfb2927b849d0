// Admission and counting of requests, synchronous URB submission, fixed waits, passing a request down.
#pragma once

#include "kernel.h"

// How long SubmitUrb waits for the lower driver before it cancels the request (relative, 100-ns units).
constexpr LONGLONG SUBMIT_URB_TIMEOUT = -20000000LL;  // 2 s

// Admits one request: TRUE while the device is not being removed. A refused caller completes its request
// with STATUS_DELETE_PENDING and information 0. Any IRQL up to DISPATCH_LEVEL.
BOOLEAN IncrementPendingIo(PDEVICE_OBJECT DeviceObject);
// Gives back one admission; signals RemoveEvent when the count reaches 0. Any IRQL up to DISPATCH_LEVEL.
VOID DecrementPendingIo(PDEVICE_OBJECT DeviceObject);

// Sends one URB to the lower device object and waits for it, cancelling after 2 s. Returns the final
// status of the request that carried it (the URB's own status is left to the caller). PASSIVE_LEVEL.
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Sleeps Length 100-ns units from now. PASSIVE_LEVEL.
NTSTATUS Delay(ULONG Length);

// Copies the current stack location to the next and calls the lower device object; returns its status.
NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Completes Irp with Status and information 0 (IO_NO_INCREMENT) and returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
