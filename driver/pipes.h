// Pipe maintenance on the selected interface: abort, reset, clear a halt, ask an endpoint's status.
// All PASSIVE_LEVEL and synchronous.
#pragma once
#include "kernel.h"

// With a pipe record: act on that pipe if it is open. With none: every open pipe of Interface, in
// order. No Interface or no open pipe: STATUS_SUCCESS, nothing sent. Otherwise the status of the last
// request sent.
NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS ResetPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS ClearPipeStalls(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);

// Vendor endpoint request 0 on the pipe's endpoint, open or not; stores the 16-bit status word in
// *Status on success and leaves it alone otherwise. Null Status: STATUS_NO_MEMORY.
NTSTATUS GetEndpointStatus(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe, PUSHORT Status);

// Marks every pipe of the selected interface open (1) or closed (0); copes with no interface.
void SetPipesOpen(PUSBD_INTERFACE_INFORMATION Interface, ULONG Open);
