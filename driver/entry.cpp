// Driver entry, dispatch table, AddDevice, registry parameters and the driver-wide state.
#include "entry.h"

#include "extension.h"
#include "names.h"
#include "../include/oslnk_names.h"

UCHAR IFSetting = OSLNK_DEFAULT_IF_SETTING;
UCHAR AltSetting = OSLNK_DEFAULT_ALT_SETTING;
ULONG MaxTransferSize = OSLNK_DEFAULT_MAX_TRANSFER_SIZE;
USHORT DeviceNameCounter = 0;
ULONG PortNumberMap[PORT_COUNT / 32] = {};

#ifdef OSLNK_HOST
extern "C" void OslnkResetImage(void)
{
    IFSetting = OSLNK_DEFAULT_IF_SETTING;
    AltSetting = OSLNK_DEFAULT_ALT_SETTING;
    MaxTransferSize = OSLNK_DEFAULT_MAX_TRANSFER_SIZE;
    DeviceNameCounter = 0;
    for (ULONG& word : PortNumberMap) word = 0;
}
#endif

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    DeviceNameCounter = 0;
    for (ULONG& word : PortNumberMap) word = 0;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    // 0x18 is IRP_MJ_DEVICE_CHANGE in the WDM numbering; Windows 98 delivers Plug and Play requests there too.
    DriverObject->MajorFunction[0x18] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverUnload = Unload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    // Every device is gone before the system unloads the driver; nothing is left to release.
}

BOOLEAN QueryDwordParameter(HANDLE Key, PCWSTR Name, ULONG* Value)
{
    RTL_QUERY_REGISTRY_TABLE table[2];
    for (RTL_QUERY_REGISTRY_TABLE& entry : table) {
        entry.QueryRoutine = nullptr;
        entry.Flags = 0;
        entry.Name = nullptr;
        entry.EntryContext = nullptr;
        entry.DefaultType = REG_NONE;
        entry.DefaultData = nullptr;
        entry.DefaultLength = 0;
    }
    // A direct query stores what the value's type calls for (RtlQueryRegistryValues, WDK): a number or
    // binary of at most 4 bytes into the ULONG; longer data only into a buffer whose first LONG is minus its
    // size; a string into a UNICODE_STRING, allocating its text when Buffer is null. Windows 98 has no type
    // check for a direct entry, so the slot has room for a string too and starts zeroed: longer data is
    // refused whatever the current value, a shorter binary is widened with zeros, and a string is freed
    // and ignored. Windows 98's installer writes these values as 4 bytes of REG_BINARY, the NT family as
    // REG_DWORD; both arrive here alike.
    union {
        ULONG Number;
        UNICODE_STRING Text;
    } Slot;
    RtlZeroMemory(&Slot, sizeof(Slot));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(Name);
    table[0].EntryContext = &Slot;
    // The default is the current value, so a missing value leaves the variable as it was.
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = Value;
    table[0].DefaultLength = sizeof(ULONG);
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(Key), table, nullptr, nullptr);
    if (Slot.Text.Buffer != nullptr) {
        RtlFreeUnicodeString(&Slot.Text);
        return FALSE;
    }
    if (!NT_SUCCESS(status)) return FALSE;
    *Value = Slot.Number;
    return TRUE;
}

NTSTATUS ReadRegistryParameters(PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;

    ULONG alt = AltSetting;
    ULONG interfaceNumber = IFSetting;
    ULONG maxTransfer = MaxTransferSize;
    QueryDwordParameter(key, WIDE(OSLNK_VALUE_ALT_SETTING), &alt);
    QueryDwordParameter(key, WIDE(OSLNK_VALUE_IF_SETTING), &interfaceNumber);
    QueryDwordParameter(key, WIDE(OSLNK_VALUE_MAX_TRANSFER_SIZE), &maxTransfer);
    AltSetting = static_cast<UCHAR>(alt & 0xFF);
    IFSetting = static_cast<UCHAR>(interfaceNumber & 0xFF);
    MaxTransferSize = maxTransfer;

    ZwClose(key);
    return STATUS_SUCCESS;
}

namespace {

VOID CopyWide(WCHAR* Destination, const WCHAR* Source)
{
    ULONG i = 0;
    for (; i + 1 < NAME_BUFFER_UNITS && Source[i] != 0; ++i) Destination[i] = Source[i];
    Destination[i] = 0;
}

// Gives the port number back and empties "Port Name" when AddDevice cannot finish.
VOID GiveBackPort(PDEVICE_OBJECT PhysicalDeviceObject, SHORT PortIndex)
{
    UpdatePortName(PhysicalDeviceObject, 0, &PortIndex);
}

}  // namespace

NTSTATUS CreateFdo(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT* Fdo)
{
    *Fdo = nullptr;
    SHORT portIndex = -1;
    NTSTATUS status = UpdatePortName(PhysicalDeviceObject, 1, &portIndex);
    if (!NT_SUCCESS(status)) {
        if (portIndex >= 0) GiveBackPort(PhysicalDeviceObject, portIndex);
        return status;
    }

    WCHAR dosName[NAME_BUFFER_UNITS];
    WCHAR deviceName[NAME_BUFFER_UNITS];
    BuildDosDeviceName(dosName, NAME_BUFFER_UNITS, portIndex);

    // The kernel name takes the lowest number that no existing FDO holds: a name in use (also by an FDO
    // that lingers with open handles) makes IoCreateDevice report a collision, and the next number is tried.
    PDEVICE_OBJECT fdo = nullptr;
    status = STATUS_OBJECT_NAME_COLLISION;
    for (ULONG number = 0; number < DEVICE_NAME_COUNT && status == STATUS_OBJECT_NAME_COLLISION; ++number) {
        BuildDeviceName(deviceName, NAME_BUFFER_UNITS, static_cast<USHORT>(number));
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, deviceName);
        status = IoCreateDevice(DriverObject, sizeof(FdoExtension), &name, FILE_DEVICE_BUS_EXTENDER, 0, TRUE, &fdo);
    }
    if (!NT_SUCCESS(status)) {
        GiveBackPort(PhysicalDeviceObject, portIndex);
        return status;
    }

    FdoExtension* extension = FdoExtensionOf(fdo);
    CopyWide(extension->DosDeviceName, dosName);
    CopyWide(extension->DeviceName, deviceName);
    extension->ConfigurationHandle = nullptr;
    extension->ConfigurationDescriptor = nullptr;
    extension->DeviceDescriptor = nullptr;
    extension->Interface = nullptr;
    extension->CurrentTransfer = nullptr;
    extension->DeviceId = nullptr;
    extension->DosLinkActive = 0;
    extension->DosLinkCreated = 0;
    extension->Opened = 0;
    extension->DeletePending = 0;
    extension->Removed = 0;
    extension->DeviceIdValid = 0;
    extension->PortIndex = portIndex;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    extension->PendingIoCount = 1;

    *Fdo = fdo;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    ReadRegistryParameters(PhysicalDeviceObject);

    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = CreateFdo(DriverObject, PhysicalDeviceObject, &fdo);
    if (!NT_SUCCESS(status)) return status;
    DeviceNameCounter += 1;

    FdoExtension* extension = FdoExtensionOf(fdo);
    KeInitializeSpinLock(&extension->ChildListLock);
    InitializeListHead(&extension->ChildList);
    KeInitializeSpinLock(&extension->TransferLock);

    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    fdo->Flags |= DO_DIRECT_IO;

    extension->IsFdo = 1;
    extension->ChildCount = 0;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    extension->Self = fdo;
    if (extension->LowerDeviceObject == nullptr) {
        // Nothing to send requests to: undo everything this call did.
        SHORT portIndex = extension->PortIndex;
        IoDeleteDevice(fdo);
        DeviceNameCounter -= 1;
        GiveBackPort(PhysicalDeviceObject, portIndex);
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}
