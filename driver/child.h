// The child printer device: its creation, its Plug and Play answers and the printer identifier
// built from the printer's IEEE 1284 device ID.
#pragma once
#include "kernel.h"

// Device extension of the child device object. The first four fields have the order and meaning of
// FdoExtension's first four, so the Plug and Play dispatch can test IsFdo on either record.
struct ChildExtension {
    PDEVICE_OBJECT ParentFdo;
    PDEVICE_OBJECT LowerDeviceObject;  // null: nothing is below the child
    PDEVICE_OBJECT Self;
    BOOLEAN IsFdo;                     // 0 here
    ANSI_STRING DeviceIdString;        // the child's own copy of the parent's device ID text (paged pool)
    LIST_ENTRY ListEntry;              // link in the parent's ChildList
};

// Creates the unnamed child device object of `ParentFdo`, gives it its own copy of the parent's
// device ID text and links it at the tail of the parent's ChildList. The caller must not hold
// ChildListLock.
NTSTATUS CreateChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ParentFdo, PDEVICE_OBJECT* ChildDevice);

// Frees what the child owns and deletes its device object. The caller has unlinked it already.
void DeleteChildDevice(PDEVICE_OBJECT ChildDevice);

// Plug and Play requests addressed to a child device; completes every request itself.
NTSTATUS DispatchChildPnp(PDEVICE_OBJECT ChildDevice, PIRP Irp);

// Builds "%.20s%04X" from the manufacturer and model values of `DeviceIdText` and converts it to a
// newly allocated wide string (release with RtlFreeUnicodeString). FALSE when the text has no
// non-empty manufacturer value or memory runs out; `PrinterId` is then untouched.
BOOLEAN BuildPrinterId(PUNICODE_STRING PrinterId, PANSI_STRING DeviceIdText);

// Folds `Count` bytes into the 16-bit check value held in `*Accumulator`.
void PrinterIdChecksum(const UCHAR* Bytes, ULONG Count, PULONG Accumulator);
