// The per-cable record of the functional device object and the driver-wide state shared by all cables.
#pragma once

#include "kernel.h"

struct TransferContext;  // the bulk transfer in flight (read_write.h)

// Length of the device-name buffers in the record, in UTF-16 units including the NUL.
constexpr ULONG NAME_BUFFER_UNITS = 127;
// Size of the buffer that holds the printer's IEEE 1284 device ID.
constexpr USHORT DEVICE_ID_BUFFER_SIZE = 1024;
// Port numbers 1..PORT_COUNT; index = number - 1.
constexpr ULONG PORT_COUNT = 128;
// How many kernel device names (\Device\KVUSB00 ...) AddDevice tries. Larger than PORT_COUNT because
// an FDO that lingers with open handles keeps its name but gives its port number back.
constexpr ULONG DEVICE_NAME_COUNT = 1000;

// Device extension of the FDO. The first four fields match ChildExtension so the PnP dispatch can tell
// the two apart by IsFdo; their order must not change.
struct FdoExtension {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT Self;
    BOOLEAN IsFdo;

    LIST_ENTRY ChildList;           // ChildExtension records, guarded by ChildListLock
    ULONG ChildCount;
    KSPIN_LOCK ChildListLock;

    LONG PendingIoCount;            // interlocked only; bias of 1 from creation until removal
    BOOLEAN Removed;
    BOOLEAN Started;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    KEVENT RemoveEvent;             // notification; set whenever PendingIoCount reaches 0

    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // owned, wTotalLength + 16 bytes
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;                // owned, 18 bytes
    PUSBD_INTERFACE_INFORMATION Interface;                  // owned copy; pipe 0 writes, pipe 1 reads
    BOOLEAN DosLinkActive;

    WCHAR DosDeviceName[NAME_BUFFER_UNITS];  // "\DosDevices\KVUSB<port number>", NUL-terminated
    WCHAR DeviceName[NAME_BUFFER_UNITS];     // "\Device\KVUSB<nn>", NUL-terminated

    BOOLEAN Opened;
    BOOLEAN DeletePending;
    SHORT PortIndex;                // port number - 1
    TransferContext* CurrentTransfer;
    PVOID TransferBuffer;           // owned, MaxTransferSize bytes while open
    PUCHAR DeviceId;                // owned, DEVICE_ID_BUFFER_SIZE bytes
    BOOLEAN DeviceIdValid;
    PFILE_OBJECT OpenFileObject;

    // The data path and the open state:
    KSPIN_LOCK TransferLock;        // CurrentTransfer between cancel and completion; Opened, TransferBuffer and
                                    // the pipes' open flags between create, close, stop and removal
    ULONG TransferBufferSize;       // bytes in TransferBuffer, fixed at create; bounds every transfer
    BOOLEAN Reselecting;            // under TransferLock: the select-interface code is replacing Interface
    BOOLEAN DosLinkCreated;         // the start's IoCreateSymbolicLink succeeded: the DOS name is this device's
};

// Driver-wide state, one copy for all cables. Written only from AddDevice and removal, which the
// Plug and Play manager delivers one at a time, so no lock.
extern UCHAR IFSetting;             // interface the start selects (registry "IFSetting", default 2)
extern UCHAR AltSetting;            // its alternate setting (registry "AltSetting", default 0)
extern ULONG MaxTransferSize;       // largest read/write, per-pipe maximum (registry "MaxTransferSize", default 1024)
extern USHORT DeviceNameCounter;    // FDOs that exist and are not lingering
extern ULONG PortNumberMap[PORT_COUNT / 32];  // bit set = port index taken; index 0 is the top bit of word 0

inline FdoExtension* FdoExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
}
