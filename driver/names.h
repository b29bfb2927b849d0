// Port numbers, the kernel and DOS names of an FDO, and the "Port Name" registry value.
#pragma once

#include "kernel.h"

// Takes (Take = 1) the lowest free port index and stores it through PortIndex, or gives back (Take = 0)
// the index read through PortIndex; then writes "Port Name" (KVUSB<n>, or empty when giving back) into
// the driver key and the device key. The result is that of the device key.
NTSTATUS UpdatePortName(PDEVICE_OBJECT PhysicalDeviceObject, UCHAR Take, SHORT* PortIndex);

// Writes "\Device\KVUSB<nn>" (at least two digits) into Buffer of Units UTF-16 units, NUL-terminated.
VOID BuildDeviceName(WCHAR* Buffer, ULONG Units, USHORT Number);
// Writes "\DosDevices\KVUSB<port number>" for PortIndex into Buffer of Units UTF-16 units, NUL-terminated.
VOID BuildDosDeviceName(WCHAR* Buffer, ULONG Units, SHORT PortIndex);
// The port name inside a DOS name: the part after its last backslash ("KVUSB12"), NUL-terminated.
const WCHAR* PortNameOfDosName(const WCHAR* DosName);
// Length in UTF-16 units of a NUL-terminated wide string.
ULONG WideLength(const WCHAR* Text);
