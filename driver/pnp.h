// Plug and Play for the FDO: start, stop, removal and the bus relations that report the printer.
#pragma once
#include "kernel.h"

struct FdoExtension;

// IRP_MJ_PNP and major code 0x18. Requests for the child go to DispatchChildPnp.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Tears the FDO down after every admitted request has finished. Deletes the FDO and passes the remove
// request down, or, with handles still open, completes it with success without passing it down and deletes
// the device object with no extension left on it; the I/O manager frees it at the last close
// (*Lingering = TRUE).
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN* Lingering);
// Deletes the DOS name, closes the pipes and frees DeviceId, once per start; copes with no Interface.
void StopCleanup(FdoExtension* Extension);
// Puts the cable into the unconfigured state; clears Started and StopPending.
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);
// Frees the descriptors, Interface, DeviceId and the staging buffer, whichever are present.
void FreeDeviceResources(FdoExtension* Extension);
