// Driver entry, dispatch table, AddDevice and the registry parameters.
#pragma once

#include "kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI Unload(PDRIVER_OBJECT DriverObject);

// Reads "AltSetting", "IFSetting" and "MaxTransferSize" from the driver key into the driver-wide variables.
NTSTATUS ReadRegistryParameters(PDEVICE_OBJECT PhysicalDeviceObject);
// One REG_DWORD query; a missing value leaves *Value unchanged. TRUE when the query succeeded.
BOOLEAN QueryDwordParameter(HANDLE Key, PCWSTR Name, ULONG* Value);
// Takes a port number and a kernel name and creates the FDO with its record set up.
NTSTATUS CreateFdo(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT* Fdo);

// Dispatch routines of the driver object's table. They are defined with the other request handlers
// (create_close.cpp, read_write.cpp, device_control.cpp, pnp.cpp); declared here with the calling
// convention the I/O manager uses for them.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
