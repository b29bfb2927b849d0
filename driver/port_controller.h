// The printer-port controller behind the cable: register reads and writes, printer-class requests,
// and the IEEE 1284 nibble-mode device-ID exchange built on them. All PASSIVE_LEVEL, all blocking.
#pragma once

#include "kernel.h"

constexpr ULONG REGISTER_SNAPSHOT_SIZE = 7;  // registers 1..7 as vendor request 3 returns them

// Vendor and class request codes of the controller.
constexpr UCHAR VENDOR_READ_REGISTERS = 3;
constexpr UCHAR VENDOR_WRITE_REGISTER = 4;
constexpr UCHAR PRINTER_GET_PORT_STATUS = 1;
constexpr UCHAR PRINTER_SOFT_RESET = 2;

// Clears Destination (7 bytes), reads registers 1..7 into it. Null Destination: STATUS_NO_MEMORY.
NTSTATUS ReadPortRegisters(PDEVICE_OBJECT DeviceObject, PUCHAR Destination);
// Writes Value into register Register.
NTSTATUS WritePortRegister(PDEVICE_OBJECT DeviceObject, UCHAR Register, UCHAR Value);
// Clears *Destination, reads the printer-class port status byte into it. Null: STATUS_NO_MEMORY.
NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PUCHAR Destination);
// Printer-class soft reset of the printer port.
NTSTATUS SoftReset(PDEVICE_OBJECT DeviceObject);
// Clears Length bytes of Destination and fills it with the printer's IEEE 1284 device ID (without its
// two-byte length field). Success also when the ID was short or cut off; STATUS_UNSUCCESSFUL when no
// length could be read or it was 0.
NTSTATUS ReadDeviceId(PDEVICE_OBJECT DeviceObject, PUCHAR Destination, USHORT Length);
// One byte of reverse data in nibble mode.
NTSTATUS ReadNibbleByte(PDEVICE_OBJECT DeviceObject, PUCHAR Byte);
// Puts the controller into its printing state (registers 7, 6, 2, 8); returns the last register read.
NTSTATUS InitPortRegisters(PDEVICE_OBJECT DeviceObject);
