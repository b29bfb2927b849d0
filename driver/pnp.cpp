// Plug and Play requests for the FDO. The driver keeps no power state and has no power handler.
//
// A device object whose extension pointer is null is an FDO that removal left in place because a
// handle was still open (Lingering): it has nothing left to act on, so every Plug and Play request
// completes with STATUS_DELETE_PENDING.
#include "pnp.h"

#include "child.h"
#include "extension.h"
#include "names.h"
#include "pipes.h"
#include "start.h"
#include "usb_requests.h"

namespace {

// Minor code 0x18, IRP_MN_QUERY_LEGACY_BUS_INFORMATION.
const UCHAR kQueryLegacyBusInformation = 0x18;

NTSTATUS PassDownAndRelease(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const NTSTATUS Status = PassDown(DeviceObject, Irp);
    DecrementPendingIo(DeviceObject);
    return Status;
}

// Completes with Status, leaving Information as it stands.
NTSTATUS CompleteAndRelease(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementPendingIo(DeviceObject);
    return Status;
}

NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    StopCleanup(Extension);
    const NTSTATUS Status = UnconfigureDevice(DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return CompleteAndRelease(DeviceObject, Irp, Status);
    }
    return PassDownAndRelease(DeviceObject, Irp);
}

// Unlinks and deletes the newest child when it could not be reported, so that the next query can
// try again with an empty list.
void DropUnreportedChild(FdoExtension* Extension, PDEVICE_OBJECT Child)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ChildListLock, &OldIrql);
    ChildExtension* Record = static_cast<ChildExtension*>(Child->DeviceExtension);
    RemoveEntryList(&Record->ListEntry);
    KeReleaseSpinLock(&Extension->ChildListLock, OldIrql);
    DeleteChildDevice(Child);
}

NTSTATUS HandleBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    PDEVICE_RELATIONS Earlier = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    const ULONG EarlierCount = Earlier != nullptr ? Earlier->Count : 0;

    // The printer is reported once, by the first query after a start that read its device ID.
    if (Extension->DeviceIdValid != 1 || EarlierCount != 0 || Extension->ChildCount != 0) {
        return CompleteAndRelease(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
    }

    PDEVICE_OBJECT Child = nullptr;
    const NTSTATUS Created = CreateChildDevice(DeviceObject->DriverObject, DeviceObject, &Child);
    if (!NT_SUCCESS(Created)) {
        return CompleteAndRelease(DeviceObject, Irp, Created);
    }

    const ULONG Room = EarlierCount + 2;
    const ULONG Size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + Room * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS Relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, Size, DDK_POOL_TAG));
    if (Relations == nullptr) {
        DropUnreportedChild(Extension, Child);
        return CompleteAndRelease(DeviceObject, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(Relations, Size);
    for (ULONG I = 0; I < EarlierCount; ++I) {
        Relations->Objects[I] = Earlier->Objects[I];
    }
    ULONG Count = EarlierCount;

    // The array is paged and the lock raises to DISPATCH_LEVEL: the children are gathered on the stack
    // under the lock and written into the array after it, into the two slots after the earlier entries.
    PDEVICE_OBJECT Found[2] = {nullptr, nullptr};
    ULONG FoundCount = 0;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ChildListLock, &OldIrql);
    for (PLIST_ENTRY Link = Extension->ChildList.Flink; Link != &Extension->ChildList && FoundCount < 2;
         Link = Link->Flink) {
        ChildExtension* Record = CONTAINING_RECORD(Link, ChildExtension, ListEntry);
        Found[FoundCount++] = Record->Self;
        ObfReferenceObject(Record->Self);
        Extension->ChildCount += 1;
    }
    KeReleaseSpinLock(&Extension->ChildListLock, OldIrql);
    for (ULONG I = 0; I < FoundCount; ++I) {
        Relations->Objects[Count++] = Found[I];
    }
    Relations->Count = Count;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (Earlier != nullptr) {
        ExFreePool(Earlier);
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Relations);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementPendingIo(DeviceObject);
    return Created;
}

NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    Extension->Removed = TRUE;  // from now on IncrementPendingIo refuses
    BOOLEAN Lingering = FALSE;
    const NTSTATUS Status = RemoveDevice(DeviceObject, Irp, &Lingering);
    if (NT_SUCCESS(Status)) {
        DeviceNameCounter -= 1;
    }
    return Status;
}

}  // namespace

void StopCleanup(FdoExtension* Extension)
{
    if (!Extension->DosLinkActive) {
        return;
    }
    Extension->DosLinkActive = FALSE;
    UNICODE_STRING DosName;
    RtlInitUnicodeString(&DosName, Extension->DosDeviceName);
    IoDeleteSymbolicLink(&DosName);
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    SetPipesOpen(Extension->Interface, 0);
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Extension->DeviceId != nullptr) {
        ExFreePool(Extension->DeviceId);
        Extension->DeviceId = nullptr;
    }
}

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    NTSTATUS Status = STATUS_SUCCESS;
    PURB Urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION),
                                                       DDK_POOL_TAG));
    if (Urb == nullptr) {
        Status = STATUS_NO_MEMORY;
    } else {
        RtlZeroMemory(Urb, sizeof(struct _URB_SELECT_CONFIGURATION));
        Urb->UrbSelectConfiguration.Hdr.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
        Urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        Urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;  // unconfigured state
        SubmitUrb(DeviceObject, Urb);
        ExFreePool(Urb);
        Extension->Started = FALSE;
    }
    Extension->StopPending = FALSE;
    return Status;
}

void FreeDeviceResources(FdoExtension* Extension)
{
    if (Extension->ConfigurationDescriptor != nullptr) {
        ExFreePool(Extension->ConfigurationDescriptor);
        Extension->ConfigurationDescriptor = nullptr;
    }
    if (Extension->DeviceDescriptor != nullptr) {
        ExFreePool(Extension->DeviceDescriptor);
        Extension->DeviceDescriptor = nullptr;
    }
    if (Extension->DeviceId != nullptr) {
        ExFreePool(Extension->DeviceId);
        Extension->DeviceId = nullptr;
    }
    // A close may run at the same moment on a device removed with its handle open.
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    PUSBD_INTERFACE_INFORMATION Interface = Extension->Interface;
    Extension->Interface = nullptr;
    PVOID Staging = Extension->TransferBuffer;
    Extension->TransferBuffer = nullptr;
    Extension->TransferBufferSize = 0;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    if (Interface != nullptr) {
        ExFreePool(Interface);
    }
    if (Staging != nullptr) {
        ExFreePool(Staging);
    }
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN* Lingering)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    *Lingering = FALSE;

    DecrementPendingIo(DeviceObject);  // the remove request's own admission
    AbortPipes(DeviceObject, nullptr); // transfers in flight complete and give their counts back
    DecrementPendingIo(DeviceObject);  // the bias held since creation
    KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);

    StopCleanup(Extension);

    PLIST_ENTRY Link = Extension->ChildList.Flink;
    while (Link != &Extension->ChildList) {
        PLIST_ENTRY Next = Link->Flink;
        ChildExtension* Record = CONTAINING_RECORD(Link, ChildExtension, ListEntry);
        PDEVICE_OBJECT Child = Record->Self;
        RemoveEntryList(Link);
        // The references that the bus-relations answers took belong to the Plug and Play manager, which
        // releases them when it has removed the child: only the creation's reference is ours to drop.
        DeleteChildDevice(Child);
        if (Extension->ChildCount != 0) {
            Extension->ChildCount -= 1;
        }
        Link = Next;
    }

    SHORT PortIndex = Extension->PortIndex;
    UpdatePortName(Extension->PhysicalDeviceObject, 0, &PortIndex);

    if (DeviceObject->ReferenceCount > 0) {
        // Handles are open: the device object stays until the system lets it go. Nothing reaches the
        // record any more (the extension pointer goes null first), so what it owns is freed now.
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        IoDetachDevice(Extension->LowerDeviceObject);
        Extension->DeletePending = TRUE;
        DeviceObject->DeviceExtension = nullptr;
        FreeDeviceResources(Extension);
        *Lingering = TRUE;
        // Deleted here, once: the I/O manager keeps the object until its last handle is closed and
        // frees it then, so a close racing with this removal can never delete it a second time.
        IoDeleteDevice(DeviceObject);
        return STATUS_CANCELLED;
    }

    PDEVICE_OBJECT Lower = Extension->LowerDeviceObject;
    IoDetachDevice(Lower);
    FreeDeviceResources(Extension);
    IoDeleteDevice(DeviceObject);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IofCallDriver(Lower, Irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FdoExtension* Extension = FdoExtensionOf(DeviceObject);
    if (Extension == nullptr) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (!Extension->IsFdo) {
        return DispatchChildPnp(DeviceObject, Irp);
    }
    if (!IncrementPendingIo(DeviceObject)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }

    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (Extension->Started) Extension->RemovePending = TRUE;
        return PassDownAndRelease(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemove(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (Extension->Started) Extension->RemovePending = FALSE;
        return PassDownAndRelease(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        return HandleStop(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (Extension->Started) Extension->StopPending = TRUE;
        return PassDownAndRelease(DeviceObject, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (Extension->Started) Extension->StopPending = FALSE;
        return PassDownAndRelease(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return HandleBusRelations(DeviceObject, Irp);
        }
        return PassDownAndRelease(DeviceObject, Irp);
    case kQueryLegacyBusInformation:
        return CompleteAndRelease(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
    default:
        return PassDownAndRelease(DeviceObject, Irp);
    }
}
