// IRP_MN_START_DEVICE for the FDO: the lower drivers start first, then the descriptors are read, the
// configuration selected, the printer's device ID fetched and the DOS name created.
#include "start.h"

#include "extension.h"
#include "port_controller.h"
#include "urb_lengths.h"
#include "usb_requests.h"

namespace {

constexpr ULONG DEVICE_DESCRIPTOR_SIZE = 18;
constexpr ULONG CONFIGURATION_PROBE_SIZE = 25;
constexpr ULONG CONFIGURATION_HEADER_SIZE = 9;   // the configuration descriptor alone
constexpr ULONG CONFIGURATION_SLACK = 16;        // room kept after wTotalLength

PVOID AllocateZeroed(ULONG Size)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, Size, DDK_POOL_TAG);
    if (block != nullptr) RtlZeroMemory(block, Size);
    return block;
}

VOID BuildGetDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST* Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(*Urb));
    Urb->Hdr.Length = CONTROL_DESCRIPTOR_URB_LENGTH;
    Urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->DescriptorType = DescriptorType;
    Urb->Index = 0;
    Urb->LanguageId = 0;
    Urb->TransferBuffer = Buffer;
    Urb->TransferBufferLength = Length;
    Urb->TransferBufferMDL = nullptr;
    Urb->UrbLink = nullptr;
}

// A configuration descriptor whose chain of descriptors stays inside wTotalLength and never has a
// descriptor shorter than its own header; anything else would send the parser out of bounds.
BOOLEAN ConfigurationIsWellFormed(PUSB_CONFIGURATION_DESCRIPTOR Configuration)
{
    ULONG total = Configuration->wTotalLength;
    if (total < CONFIGURATION_HEADER_SIZE || Configuration->bLength < CONFIGURATION_HEADER_SIZE) return FALSE;
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(Configuration);
    ULONG offset = 0;
    while (offset < total) {
        if (total - offset < 2) return FALSE;
        ULONG length = bytes[offset];
        if (length < 2 || length > total - offset) return FALSE;
        offset += length;
    }
    return TRUE;
}

}  // namespace

ULONG SelectConfigurationUrbSize(ULONG InterfaceCount, ULONG PipeCount)
{
    return SELECT_CONFIGURATION_HEADER_LENGTH + InterfaceCount * INTERFACE_INFORMATION_HEADER_LENGTH +
           PipeCount * sizeof(USBD_PIPE_INFORMATION);
}

NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
    // The start handler keeps the request and completes it itself.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                         UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    FdoExtension* fdo = FdoExtensionOf(DeviceObject);
    if (ConfigurationDescriptor == nullptr || !ConfigurationIsWellFormed(ConfigurationDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptor(ConfigurationDescriptor, InterfaceNumber, AlternateSetting);
    if (found == nullptr) return STATUS_INVALID_PARAMETER;  // the previous configuration stays

    const ULONG pipes = found->bNumEndpoints;
    const ULONG interfaces = ConfigurationDescriptor->bNumInterfaces != 0 ? ConfigurationDescriptor->bNumInterfaces : 1;
    const ULONG urbSize = SelectConfigurationUrbSize(interfaces, pipes);
    const ULONG interfaceLength = SelectConfigurationUrbSize(1, pipes) - SELECT_CONFIGURATION_HEADER_LENGTH;
    PURB urb = static_cast<PURB>(AllocateZeroed(urbSize));
    if (urb == nullptr) return STATUS_NO_MEMORY;

    _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.Hdr.Length = static_cast<USHORT>(urbSize);
    select.ConfigurationDescriptor = ConfigurationDescriptor;
    USBD_INTERFACE_INFORMATION& info = select.Interface;
    info.Length = static_cast<USHORT>(interfaceLength);
    info.InterfaceNumber = found->bInterfaceNumber;
    info.AlternateSetting = found->bAlternateSetting;
    info.NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
        info.Pipes[i].MaximumTransferSize = MaxTransferSize;
        info.Pipes[i].PipeFlags = 0;
    }

    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(select.Hdr.Status)) {
        // The bus accepted the request but the device did not take the configuration.
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        // The copy has the size the request was built with, whatever the stack wrote into Length.
        const ULONG copyLength = interfaceLength;
        auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(copyLength));
        if (copy == nullptr) {
            status = STATUS_NO_MEMORY;
        } else {
            RtlCopyMemory(copy, &info, copyLength);
            copy->Length = static_cast<USHORT>(copyLength);
            for (ULONG i = 0; i < pipes; ++i) copy->Pipes[i].PipeFlags = 0;  // every pipe starts closed

            fdo->ConfigurationHandle = select.ConfigurationHandle;
            if (fdo->ConfigurationDescriptor != nullptr && fdo->ConfigurationDescriptor != ConfigurationDescriptor) {
                ExFreePool(fdo->ConfigurationDescriptor);
            }
            fdo->ConfigurationDescriptor = ConfigurationDescriptor;
            // Swapped under TransferLock, under which the data path and create read the records. A record
            // of the same size (a start after a stop selects the same setting) is refreshed in place rather
            // than freed: a pipe code admitted before the stop may still be walking it, and then finds
            // closed pipes instead of freed memory.
            KIRQL oldIrql;
            KeAcquireSpinLock(&fdo->TransferLock, &oldIrql);
            PUSBD_INTERFACE_INFORMATION unused = copy;
            if (fdo->Interface != nullptr && fdo->Interface->Length == copyLength) {
                RtlCopyMemory(fdo->Interface, copy, copyLength);
            } else {
                unused = fdo->Interface;
                fdo->Interface = copy;
            }
            KeReleaseSpinLock(&fdo->TransferLock, oldIrql);
            if (unused != nullptr) ExFreePool(unused);
        }
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject)
{
    auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(AllocateZeroed(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    auto* probe = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateZeroed(CONFIGURATION_PROBE_SIZE));
    if (probe == nullptr) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }

    // First the configuration descriptor alone, to learn the length of the whole set.
    BuildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, probe, CONFIGURATION_HEADER_SIZE);
    NTSTATUS status = SubmitUrb(DeviceObject, reinterpret_cast<PURB>(urb));
    const ULONG total = probe->wTotalLength;
    ExFreePool(probe);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        return status;
    }
    if (total < CONFIGURATION_HEADER_SIZE) {
        ExFreePool(urb);
        return STATUS_DEVICE_DATA_ERROR;
    }

    const ULONG size = total + CONFIGURATION_SLACK;
    auto* configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateZeroed(size));
    if (configuration == nullptr) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }
    BuildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, size);
    status = SubmitUrb(DeviceObject, reinterpret_cast<PURB>(urb));
    ExFreePool(urb);
    if (NT_SUCCESS(status) && configuration->wTotalLength > size) status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status)) status = SelectInterface(DeviceObject, configuration, IFSetting, AltSetting);
    // On success the record owns the buffer; on any failure nobody does.
    if (!NT_SUCCESS(status)) ExFreePool(configuration);
    return status;
}

NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject)
{
    FdoExtension* fdo = FdoExtensionOf(DeviceObject);
    fdo->DosLinkActive = 1;

    auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(AllocateZeroed(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr) return STATUS_NO_MEMORY;
    auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroed(DEVICE_DESCRIPTOR_SIZE));
    if (descriptor == nullptr) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }

    BuildGetDescriptor(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, DEVICE_DESCRIPTOR_SIZE);
    NTSTATUS status = SubmitUrb(DeviceObject, reinterpret_cast<PURB>(urb));
    ExFreePool(urb);

    // A start after a stop reads the descriptor again; the earlier copy goes either way.
    if (fdo->DeviceDescriptor != nullptr) {
        ExFreePool(fdo->DeviceDescriptor);
        fdo->DeviceDescriptor = nullptr;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(descriptor);
        return status;
    }
    fdo->DeviceDescriptor = descriptor;
    return GetConfigurationDescriptor(DeviceObject);
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    FdoExtension* fdo = FdoExtensionOf(DeviceObject);

    auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), DDK_POOL_TAG));
    if (event == nullptr) {
        NTSTATUS status = CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
        DecrementPendingIo(DeviceObject);
        return status;
    }
    KeInitializeEvent(event, NotificationEvent, FALSE);

    // The lower drivers start the device first.
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletion, event, TRUE, TRUE, TRUE);
    if (IofCallDriver(fdo->LowerDeviceObject, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, nullptr);
    }
    ExFreePool(event);

    NTSTATUS lowerStatus = Irp->IoStatus.Status;
    if (NT_ERROR(lowerStatus)) {
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        DecrementPendingIo(DeviceObject);
        return lowerStatus;
    }

    SoftReset(DeviceObject);

    NTSTATUS status = GetDeviceDescriptor(DeviceObject);
    if (NT_ERROR(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
    } else {
        if (fdo->DeviceId != nullptr) ExFreePool(fdo->DeviceId);
        fdo->DeviceId = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, DEVICE_ID_BUFFER_SIZE, DDK_POOL_TAG));
        if (fdo->DeviceId != nullptr && NT_SUCCESS(ReadDeviceId(DeviceObject, fdo->DeviceId, DEVICE_ID_BUFFER_SIZE))) {
            fdo->DeviceIdValid = 1;
        }
        InitPortRegisters(DeviceObject);

        UNICODE_STRING dosName;
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&dosName, fdo->DosDeviceName);
        RtlInitUnicodeString(&deviceName, fdo->DeviceName);
        // The request keeps the lower drivers' status; only the handler reports a failed link.
        status = IoCreateSymbolicLink(&dosName, &deviceName);
        // A start without a stop before it finds the name already there, its own: an earlier TRUE stays.
        if (NT_SUCCESS(status)) fdo->DosLinkCreated = TRUE;
    }

    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    fdo->Removed = 0;
    fdo->RemovePending = 0;
    fdo->StopPending = 0;
    DecrementPendingIo(DeviceObject);

    if (fdo->DeviceIdValid == 1) IoInvalidateDeviceRelations(fdo->PhysicalDeviceObject, BusRelations);
    return status;
}
