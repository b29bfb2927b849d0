// The nine private control codes (include/oslnk_ioctl.h).
#pragma once
#include "kernel.h"

// IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL alike. Completes every request itself.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Cancels the transfer in flight and resets the pipes, the printer port and the registers. Does
// nothing when no transfer is in flight. PASSIVE_LEVEL; lasts 2.5 s, or 5.5 s when the write pipe's
// endpoint reports a non-zero status.
void RecoverTransfer(PDEVICE_OBJECT DeviceObject);

// Waits of the recovery sequence, in 100-ns units.
constexpr ULONG RECOVER_AFTER_ABORT = 10000000;   // 1 s
constexpr ULONG RECOVER_AFTER_RESET = 20000000;   // 2 s
constexpr ULONG RECOVER_AFTER_CLEAR = 20000000;   // 2 s
constexpr ULONG RECOVER_AFTER_SOFT_RESET = 2500000;  // 0.25 s
constexpr ULONG RECOVER_AFTER_INIT = 2500000;        // 0.25 s
