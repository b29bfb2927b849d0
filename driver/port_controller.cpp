// Register commands of the printer-port controller and the IEEE 1284 nibble-mode device-ID exchange.
#include "port_controller.h"

#include "extension.h"
#include "urb_lengths.h"
#include "usb_requests.h"

namespace {

// Polls per handshake wait and the sleep between polls (100-ns units).
constexpr ULONG HANDSHAKE_POLLS = 35;
constexpr ULONG HANDSHAKE_POLL_INTERVAL = 10000;     // 1 ms
constexpr ULONG REGISTER_SETUP_INTERVAL = 20000;     // 2 ms

constexpr ULONG SNAPSHOT_BUFFER_SIZE = 8;
constexpr ULONG PORT_STATUS_BUFFER_SIZE = 64;

// Registers and the bits of them that the handshakes use.
constexpr UCHAR REG_DATA = 0;
constexpr UCHAR REG_CONTROL = 2;
constexpr UCHAR REG_CONFIG_A = 6;
constexpr UCHAR REG_CONFIG_B = 7;
constexpr UCHAR REG_CONFIG_C = 8;

constexpr UCHAR STATUS_NFAULT = 0x08;
constexpr UCHAR STATUS_NACK = 0x40;
constexpr UCHAR CONTROL_STROBE = 0x01;
constexpr UCHAR CONTROL_AUTOFEED = 0x02;   // HostBusy in nibble mode
constexpr UCHAR CONTROL_NINIT = 0x04;
constexpr UCHAR CONTROL_SELECTIN = 0x08;

constexpr UCHAR EXTENSIBILITY_DEVICE_ID_NIBBLE = 0x04;

PVOID AllocateZeroed(ULONG Size)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, Size, DDK_POOL_TAG);
    if (block != nullptr) RtlZeroMemory(block, Size);
    return block;
}

// One vendor or class control transfer through a URB and a transfer buffer of our own. For IN requests
// the first Length bytes of the buffer are copied to Destination after success.
NTSTATUS ControlRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, BOOLEAN In, UCHAR Request, USHORT Value,
                        ULONG BufferSize, ULONG Length, PUCHAR Destination)
{
    PAGED_CODE();
    auto* urb = static_cast<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(
        AllocateZeroed(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    PUCHAR buffer = nullptr;
    if (BufferSize != 0) {
        buffer = static_cast<PUCHAR>(AllocateZeroed(BufferSize));
        if (buffer == nullptr) {
            ExFreePool(urb);
            return STATUS_NO_MEMORY;
        }
    }

    urb->Hdr.Length = VENDOR_OR_CLASS_URB_LENGTH;
    urb->Hdr.Function = Function;
    urb->TransferFlags = In ? USBD_TRANSFER_DIRECTION_IN : 0;
    urb->TransferBufferLength = Length;
    urb->TransferBuffer = Length != 0 ? buffer : nullptr;
    urb->TransferBufferMDL = nullptr;
    urb->UrbLink = nullptr;
    urb->Request = Request;
    urb->Value = Value;
    urb->Index = 0;

    NTSTATUS status = SubmitUrb(DeviceObject, reinterpret_cast<PURB>(urb));
    if (NT_SUCCESS(status) && Destination != nullptr) RtlCopyMemory(Destination, buffer, Length);

    if (buffer != nullptr) ExFreePool(buffer);
    ExFreePool(urb);
    return status;
}

// Polls the status lines until (status & Mask) == Value: up to HANDSHAKE_POLLS reads, 1 ms apart.
// The snapshot keeps the last read; *LastRead (optional) its status.
BOOLEAN WaitForStatus(PDEVICE_OBJECT DeviceObject, PUCHAR Snapshot, UCHAR Mask, UCHAR Value,
                      NTSTATUS* LastRead = nullptr)
{
    for (ULONG attempt = 0; attempt < HANDSHAKE_POLLS; ++attempt) {
        NTSTATUS status = ReadPortRegisters(DeviceObject, Snapshot);
        if (LastRead != nullptr) *LastRead = status;
        if ((Snapshot[0] & Mask) == Value) return TRUE;
        Delay(HANDSHAKE_POLL_INTERVAL);
    }
    return FALSE;
}

NTSTATUS WriteControl(PDEVICE_OBJECT DeviceObject, UCHAR Value)
{
    return WritePortRegister(DeviceObject, REG_CONTROL, Value);
}

// Status lines to a nibble: nFault, Select, PError give bits 0-2, the Busy line bit 3.
UCHAR LowNibble(UCHAR Status)
{
    return static_cast<UCHAR>(((Status & 0x38) >> 3) | ((static_cast<UCHAR>(~Status) & 0x80) >> 4));
}

UCHAR HighNibble(UCHAR Status)
{
    return static_cast<UCHAR>(((Status & 0x38) << 1) | (static_cast<UCHAR>(~Status) & 0x80));
}

}  // namespace

NTSTATUS ReadPortRegisters(PDEVICE_OBJECT DeviceObject, PUCHAR Destination)
{
    if (Destination == nullptr) return STATUS_NO_MEMORY;
    RtlZeroMemory(Destination, REGISTER_SNAPSHOT_SIZE);
    // wValue 1: the snapshot starts at the status register.
    return ControlRequest(DeviceObject, URB_FUNCTION_VENDOR_DEVICE, TRUE, VENDOR_READ_REGISTERS, 1,
                          SNAPSHOT_BUFFER_SIZE, REGISTER_SNAPSHOT_SIZE, Destination);
}

NTSTATUS WritePortRegister(PDEVICE_OBJECT DeviceObject, UCHAR Register, UCHAR Value)
{
    return ControlRequest(DeviceObject, URB_FUNCTION_VENDOR_DEVICE, FALSE, VENDOR_WRITE_REGISTER,
                          static_cast<USHORT>((Register << 8) | Value), 0, 0, nullptr);
}

NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PUCHAR Destination)
{
    if (Destination == nullptr) return STATUS_NO_MEMORY;
    *Destination = 0;
    return ControlRequest(DeviceObject, URB_FUNCTION_CLASS_INTERFACE, TRUE, PRINTER_GET_PORT_STATUS, 0,
                          PORT_STATUS_BUFFER_SIZE, 1, Destination);
}

NTSTATUS SoftReset(PDEVICE_OBJECT DeviceObject)
{
    // Addressed to "other" (bmRequestType 0x23): that is where the controller expects it.
    return ControlRequest(DeviceObject, URB_FUNCTION_CLASS_OTHER, FALSE, PRINTER_SOFT_RESET, 0, 0, 0, nullptr);
}

NTSTATUS ReadNibbleByte(PDEVICE_OBJECT DeviceObject, PUCHAR Byte)
{
    if (Byte == nullptr) return STATUS_NO_MEMORY;
    PUCHAR snapshot = static_cast<PUCHAR>(AllocateZeroed(SNAPSHOT_BUFFER_SIZE));
    if (snapshot == nullptr) return STATUS_NO_MEMORY;

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    UCHAR value = 0;
    ReadPortRegisters(DeviceObject, snapshot);
    // nFault high: the printer has no (more) data to send.
    if ((snapshot[0] & STATUS_NFAULT) == 0) {
        WriteControl(DeviceObject, snapshot[1] | CONTROL_AUTOFEED);
        if (WaitForStatus(DeviceObject, snapshot, STATUS_NACK, 0)) {
            value = LowNibble(snapshot[0]);
            WriteControl(DeviceObject, snapshot[1] & ~CONTROL_AUTOFEED);
            if (WaitForStatus(DeviceObject, snapshot, STATUS_NACK, STATUS_NACK)) {
                WriteControl(DeviceObject, snapshot[1] | CONTROL_AUTOFEED);
                if (WaitForStatus(DeviceObject, snapshot, STATUS_NACK, 0)) {
                    value |= HighNibble(snapshot[0]);
                    WriteControl(DeviceObject, snapshot[1] & ~CONTROL_AUTOFEED);
                    if (WaitForStatus(DeviceObject, snapshot, STATUS_NACK, STATUS_NACK)) {
                        *Byte = value;
                        status = STATUS_SUCCESS;
                    }
                }
            }
        }
    }
    ExFreePool(snapshot);
    return status;
}

NTSTATUS ReadDeviceId(PDEVICE_OBJECT DeviceObject, PUCHAR Destination, USHORT Length)
{
    if (Destination == nullptr) return STATUS_NO_MEMORY;
    RtlZeroMemory(Destination, Length);
    PUCHAR snapshot = static_cast<PUCHAR>(AllocateZeroed(SNAPSHOT_BUFFER_SIZE));
    if (snapshot == nullptr) return STATUS_NO_MEMORY;

    if (NT_ERROR(WritePortRegister(DeviceObject, REG_CONFIG_B, 0xF8))) {
        ExFreePool(snapshot);
        return STATUS_UNSUCCESSFUL;
    }
    WritePortRegister(DeviceObject, REG_CONFIG_C, 0x01);
    WritePortRegister(DeviceObject, REG_CONFIG_A, 0x03);
    WritePortRegister(DeviceObject, REG_DATA, EXTENSIBILITY_DEVICE_ID_NIBBLE);

    BOOLEAN lengthRead = FALSE;
    ULONG idLength = 0;
    PUCHAR id = nullptr;
    ULONG idRead = 0;

    // Negotiation: nSelectIn high and HostBusy low with the extensibility byte on the data lines.
    ReadPortRegisters(DeviceObject, snapshot);
    WriteControl(DeviceObject, (snapshot[1] & ~CONTROL_SELECTIN) | CONTROL_AUTOFEED);
    if (WaitForStatus(DeviceObject, snapshot, 0x78, 0x38)) {
        WriteControl(DeviceObject, snapshot[1] | CONTROL_STROBE);
        ReadPortRegisters(DeviceObject, snapshot);
        WriteControl(DeviceObject, snapshot[1] & ~(CONTROL_STROBE | CONTROL_AUTOFEED));
        if (WaitForStatus(DeviceObject, snapshot, 0x70, 0x50)) {
            UCHAR high = 0;
            UCHAR low = 0;
            if (NT_SUCCESS(ReadNibbleByte(DeviceObject, &high)) && NT_SUCCESS(ReadNibbleByte(DeviceObject, &low))) {
                lengthRead = TRUE;
                // The length counts its own two bytes.
                idLength = (static_cast<ULONG>(high) << 8) | low;
                if (idLength != 0) {
                    id = static_cast<PUCHAR>(AllocateZeroed(idLength));
                    if (id != nullptr) {
                        LONG position = 0;
                        while (position < static_cast<LONG>(idLength) - 2 &&
                               NT_SUCCESS(ReadNibbleByte(DeviceObject, id + position))) {
                            ++position;
                        }
                        idRead = static_cast<ULONG>(position);
                    }
                }
            }
        }
    }

    if (id != nullptr) RtlCopyMemory(Destination, id, idRead < Length ? idRead : Length);

    // Termination: back to compatibility mode, whatever happened above.
    NTSTATUS lastRead = ReadPortRegisters(DeviceObject, snapshot);
    WriteControl(DeviceObject, (snapshot[1] | CONTROL_NINIT) & ~CONTROL_AUTOFEED);
    WaitForStatus(DeviceObject, snapshot, STATUS_NACK, 0, &lastRead);
    WriteControl(DeviceObject, snapshot[1] | CONTROL_AUTOFEED);
    WaitForStatus(DeviceObject, snapshot, STATUS_NACK, STATUS_NACK, &lastRead);

    if (id != nullptr) ExFreePool(id);
    ExFreePool(snapshot);
    if (!lengthRead || idLength == 0) return STATUS_UNSUCCESSFUL;
    return lastRead;
}

NTSTATUS InitPortRegisters(PDEVICE_OBJECT DeviceObject)
{
    PUCHAR snapshot = static_cast<PUCHAR>(AllocateZeroed(PORT_STATUS_BUFFER_SIZE));
    if (snapshot == nullptr) return STATUS_NO_MEMORY;
    NTSTATUS status = ReadPortRegisters(DeviceObject, snapshot);
    if (!NT_SUCCESS(status)) {
        ExFreePool(snapshot);
        return status;
    }
    Delay(REGISTER_SETUP_INTERVAL);
    WritePortRegister(DeviceObject, REG_CONFIG_B, 0xF8);
    Delay(REGISTER_SETUP_INTERVAL);
    WritePortRegister(DeviceObject, REG_CONFIG_A, 0x43);
    Delay(REGISTER_SETUP_INTERVAL);
    WritePortRegister(DeviceObject, REG_CONTROL, 0x4C);
    Delay(REGISTER_SETUP_INTERVAL);
    WritePortRegister(DeviceObject, REG_CONFIG_C, 0x01);
    Delay(REGISTER_SETUP_INTERVAL);
    status = ReadPortRegisters(DeviceObject, snapshot);
    ExFreePool(snapshot);
    return status;
}
