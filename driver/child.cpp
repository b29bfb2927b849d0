// The child printer device. The cable acts as a bus with at most one child: the printer behind it,
// reported under the parallel-port enumerator's naming so that Windows installs its own driver.
#include "child.h"
#include "extension.h"
#include "names.h"

// The Plug and Play dispatch reads IsFdo through either record.
static_assert(__builtin_offsetof(ChildExtension, IsFdo) == __builtin_offsetof(FdoExtension, IsFdo),
              "IsFdo must sit at the same offset in both device records");
static_assert(__builtin_offsetof(ChildExtension, Self) == __builtin_offsetof(FdoExtension, Self),
              "Self must sit at the same offset in both device records");

namespace {

const char kDevicePrefix[] = "LPTENUM\\";
const ULONG kDevicePrefixLength = sizeof(kDevicePrefix) - 1;
const ULONG kIdentifierCutoff = 20;  // characters of manufacturer + model kept in the identifier
const ULONG kCheckDigits = 4;

// Offset of the value of the first key found at any byte position: either the 4-byte short form or
// the long form (whose first four bytes are the quick test). -1 when neither lies wholly in the text.
LONG FindKeyValue(const UCHAR* Text, ULONG Length, const char* ShortKey, const char* LongKey, ULONG LongLength)
{
    for (ULONG Pos = 0; Pos < Length; ++Pos) {
        const ULONG Rest = Length - Pos;
        const char* At = reinterpret_cast<const char*>(Text) + Pos;
        if (Rest >= 4 && strncmp(At, ShortKey, 4) == 0) {
            return static_cast<LONG>(Pos + 4);
        }
        if (Rest >= LongLength && strncmp(At, LongKey, 4) == 0 && strncmp(At, LongKey, LongLength) == 0) {
            return static_cast<LONG>(Pos + LongLength);
        }
    }
    return -1;
}

// Length of the value starting at `Start`: up to the next ';' or the end of the text.
ULONG ValueLength(const UCHAR* Text, ULONG Length, LONG Start)
{
    if (Start < 0) {
        return 0;
    }
    ULONG End = static_cast<ULONG>(Start);
    while (End < Length && Text[End] != ';') {
        ++End;
    }
    return End - static_cast<ULONG>(Start);
}

void CopyBytes(UCHAR* To, const UCHAR* From, ULONG Count)
{
    for (ULONG I = 0; I < Count; ++I) {
        To[I] = From[I];
    }
}

// Builds one identifier answer into a zero-filled paged buffer that becomes the Plug and Play
// manager's: Prefix (ANSI), the printer identifier, Suffix (wide), then `Terminators` NULs.
NTSTATUS AnswerId(PIRP Irp, const ChildExtension* Child, const char* Prefix, ULONG PrefixLength,
                  const WCHAR* Suffix, ULONG SuffixLength, ULONG Terminators)
{
    UNICODE_STRING PrinterId;
    ANSI_STRING Text = Child->DeviceIdString;
    if (!BuildPrinterId(&PrinterId, &Text)) {
        Irp->IoStatus.Information = 0;
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG IdLength = PrinterId.Length / sizeof(WCHAR);
    const ULONG Units = PrefixLength + IdLength + SuffixLength + Terminators;
    WCHAR* Answer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, Units * sizeof(WCHAR), DDK_POOL_TAG));
    if (Answer != nullptr) {
        RtlZeroMemory(Answer, Units * sizeof(WCHAR));
        ULONG At = 0;
        for (ULONG I = 0; I < PrefixLength; ++I) {
            Answer[At++] = static_cast<WCHAR>(static_cast<UCHAR>(Prefix[I]));
        }
        for (ULONG I = 0; I < IdLength; ++I) {
            Answer[At++] = PrinterId.Buffer[I];
        }
        for (ULONG I = 0; I < SuffixLength; ++I) {
            Answer[At++] = Suffix[I];
        }
    }
    RtlFreeUnicodeString(&PrinterId);
    // Without memory the query still succeeds; it just carries no id.
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Answer);
    return STATUS_SUCCESS;
}

NTSTATUS AnswerQueryId(PIRP Irp, PIO_STACK_LOCATION Stack, const ChildExtension* Child)
{
    switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        return AnswerId(Irp, Child, kDevicePrefix, kDevicePrefixLength, nullptr, 0, 1);
    case BusQueryHardwareIDs:
        return AnswerId(Irp, Child, nullptr, 0, nullptr, 0, 2);
    case BusQueryCompatibleIDs:
        return STATUS_SUCCESS;
    case BusQueryInstanceID: {
        ULONG PortLength = 0;
        const WCHAR* Port = nullptr;
        if (Child->ParentFdo != nullptr && Child->ParentFdo->DeviceExtension != nullptr) {
            Port = PortNameOfDosName(static_cast<const FdoExtension*>(Child->ParentFdo->DeviceExtension)->DosDeviceName);
            PortLength = WideLength(Port);
        }
        return AnswerId(Irp, Child, nullptr, 0, Port, PortLength, 1);
    }
    default:
        return Irp->IoStatus.Status;
    }
}

void AnswerCapabilities(PIO_STACK_LOCATION Stack)
{
    PDEVICE_CAPABILITIES Caps = Stack->Parameters.DeviceCapabilities.Capabilities;
    if (Caps == nullptr) {
        return;
    }
    Caps->Size = 32;
    Caps->Version = 1;
    Caps->Address = 0;
    Caps->UINumber = 0;
    Caps->LockSupported = 0;
    Caps->EjectSupported = 0;
    Caps->Removable = 0;
    Caps->DockDevice = 0;
    Caps->UniqueID = 0;
    Caps->DeviceD1 = 1;
}

}  // namespace

void PrinterIdChecksum(const UCHAR* Bytes, ULONG Count, PULONG Accumulator)
{
    // Nibble tables of the reflected 0xA001 polynomial; HI[15] is 0x4600 in this check value.
    const USHORT Lo[16] = {0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241,
                           0xC601, 0x06C0, 0x0780, 0xC741, 0x0500, 0xC5C1, 0xC481, 0x0440};
    const USHORT Hi[16] = {0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
                           0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4600};
    ULONG Acc = *Accumulator;
    for (ULONG I = 0; I < Count; ++I) {
        const ULONG T = (Bytes[I] ^ Acc) & 0xFF;
        Acc = (Acc >> 8) ^ Lo[T & 0x0F] ^ Hi[T >> 4];
    }
    *Accumulator = Acc;
}

BOOLEAN BuildPrinterId(PUNICODE_STRING PrinterId, PANSI_STRING DeviceIdText)
{
    if (PrinterId == nullptr || DeviceIdText == nullptr || DeviceIdText->Buffer == nullptr) {
        return FALSE;
    }
    const UCHAR* Text = reinterpret_cast<const UCHAR*>(DeviceIdText->Buffer);
    const ULONG Length = DeviceIdText->Length;

    const LONG MfgStart = FindKeyValue(Text, Length, "MFG:", "MANUFACTURER:", 13);
    const ULONG MfgLength = ValueLength(Text, Length, MfgStart);
    if (MfgLength == 0) {
        return FALSE;
    }
    const LONG MdlStart = FindKeyValue(Text, Length, "MDL:", "MODEL:", 6);
    const ULONG MdlLength = ValueLength(Text, Length, MdlStart);

    // Sized from the two values, which may overlap in the text ("MFG:MDL:x"), so that their sum can
    // exceed the text's own length.
    const ULONG Collected = MfgLength + MdlLength;
    UCHAR* Work = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, Collected + 1, DDK_POOL_TAG));
    if (Work == nullptr) {
        return FALSE;
    }
    RtlZeroMemory(Work, Collected + 1);
    CopyBytes(Work, Text + MfgStart, MfgLength);
    if (MdlLength != 0) {
        CopyBytes(Work + MfgLength, Text + MdlStart, MdlLength);
    }

    ULONG Check = 0;
    PrinterIdChecksum(Work, Collected, &Check);

    const ULONG FormattedSize = (Collected < kIdentifierCutoff ? Collected : kIdentifierCutoff) + kCheckDigits + 1;
    char* Formatted = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, FormattedSize, DDK_POOL_TAG));
    if (Formatted == nullptr) {
        ExFreePool(Work);
        return FALSE;
    }
    RtlZeroMemory(Formatted, FormattedSize);
    // The value cannot hold a NUL (the text ends at its first NUL), so "%.20s" takes min(20, Collected).
    sprintf(Formatted, "%.20s%04X", reinterpret_cast<const char*>(Work), static_cast<unsigned int>(Check & 0xFFFF));

    ANSI_STRING Ansi;
    RtlInitAnsiString(&Ansi, Formatted);
    UNICODE_STRING Wide;
    const NTSTATUS Status = RtlAnsiStringToUnicodeString(&Wide, &Ansi, TRUE);
    ExFreePool(Formatted);
    ExFreePool(Work);
    if (!NT_SUCCESS(Status)) {
        return FALSE;
    }
    *PrinterId = Wide;
    return TRUE;
}

NTSTATUS CreateChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ParentFdo, PDEVICE_OBJECT* ChildDevice)
{
    PAGED_CODE();
    FdoExtension* Parent = static_cast<FdoExtension*>(ParentFdo->DeviceExtension);
    PDEVICE_OBJECT Child = nullptr;
    NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(ChildExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Child);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Child->Flags &= ~DO_DEVICE_INITIALIZING;

    ChildExtension* Record = static_cast<ChildExtension*>(Child->DeviceExtension);
    Record->IsFdo = FALSE;
    Record->ParentFdo = ParentFdo;
    Record->LowerDeviceObject = nullptr;
    Record->Self = Child;
    Record->DeviceIdString.Length = 0;
    Record->DeviceIdString.MaximumLength = 0;
    Record->DeviceIdString.Buffer = nullptr;

    // The child keeps its own copy: the parent frees and replaces its buffer at every stop and start,
    // while the child lives until the parent is removed.
    if (Parent->DeviceId != nullptr) {
        const UCHAR* Source = static_cast<const UCHAR*>(Parent->DeviceId);
        ULONG Length = 0;
        while (Length < DEVICE_ID_BUFFER_SIZE && Source[Length] != 0) {
            ++Length;
        }
        char* Copy = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, Length + 1, DDK_POOL_TAG));
        if (Copy == nullptr) {
            IoDeleteDevice(Child);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        CopyBytes(reinterpret_cast<UCHAR*>(Copy), Source, Length);
        Copy[Length] = 0;
        Record->DeviceIdString.Buffer = Copy;
        Record->DeviceIdString.Length = static_cast<USHORT>(Length);
        Record->DeviceIdString.MaximumLength = static_cast<USHORT>(Length + 1);
    }

    KIRQL OldIrql;
    KeAcquireSpinLock(&Parent->ChildListLock, &OldIrql);
    InsertTailList(&Parent->ChildList, &Record->ListEntry);
    KeReleaseSpinLock(&Parent->ChildListLock, OldIrql);

    if (ChildDevice != nullptr) {
        *ChildDevice = Child;
    }
    return Status;
}

void DeleteChildDevice(PDEVICE_OBJECT ChildDevice)
{
    ChildExtension* Record = static_cast<ChildExtension*>(ChildDevice->DeviceExtension);
    if (Record->DeviceIdString.Buffer != nullptr) {
        ExFreePool(Record->DeviceIdString.Buffer);
        Record->DeviceIdString.Buffer = nullptr;
    }
    IoDeleteDevice(ChildDevice);
}

NTSTATUS DispatchChildPnp(PDEVICE_OBJECT ChildDevice, PIRP Irp)
{
    PAGED_CODE();
    const ChildExtension* Child = static_cast<const ChildExtension*>(ChildDevice->DeviceExtension);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = Irp->IoStatus.Status;

    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:  // the parent deletes the child at its own removal
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        AnswerCapabilities(Stack);
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID:
        Status = AnswerQueryId(Irp, Stack, Child);
        break;
    default:
        break;
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
