// Port numbers, device names and the "Port Name" registry value.
#include "names.h"

#include "extension.h"
#include "../include/oslnk_names.h"

namespace {

// Bit of port index Index in its PortNumberMap word: index 0 is the top bit of word 0.
ULONG PortMask(ULONG Index)
{
    return 0x80000000u >> (Index % 32);
}

// Copies NUL-terminated ASCII into a wide buffer of Units units, always NUL-terminating it.
VOID WidenInto(WCHAR* Buffer, ULONG Units, const char* Ascii)
{
    if (Units == 0) return;
    ULONG i = 0;
    for (; i + 1 < Units && Ascii[i] != 0; ++i) Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(Ascii[i]));
    Buffer[i] = 0;
}

NTSTATUS WritePortNameInto(PDEVICE_OBJECT PhysicalDeviceObject, ULONG KeyType, const char* Name)
{
    PAGED_CODE();
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, KeyType, KEY_WRITE, &key);
    if (!NT_SUCCESS(status)) return status;

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, Name);
    UNICODE_STRING wide;
    status = RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, WIDE(OSLNK_PORT_NAME_VALUE));
        // The data is the name without its NUL: empty data when the port is given back.
        status = ZwSetValueKey(key, &valueName, 0, REG_SZ, wide.Buffer, wide.Length);
        RtlFreeUnicodeString(&wide);
    }
    ZwClose(key);
    return status;
}

// Driver key first, then device key; only the device key's result counts.
NTSTATUS WritePortName(PDEVICE_OBJECT PhysicalDeviceObject, const char* Name)
{
    WritePortNameInto(PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, Name);
    return WritePortNameInto(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, Name);
}

}  // namespace

NTSTATUS UpdatePortName(PDEVICE_OBJECT PhysicalDeviceObject, UCHAR Take, SHORT* PortIndex)
{
    if (!Take) {
        if (PortIndex != nullptr && *PortIndex >= 0 && static_cast<ULONG>(*PortIndex) < PORT_COUNT) {
            ULONG index = static_cast<ULONG>(*PortIndex);
            PortNumberMap[index / 32] &= ~PortMask(index);
        }
        return WritePortName(PhysicalDeviceObject, "");
    }

    ULONG index = PORT_COUNT;
    for (ULONG candidate = 0; candidate < PORT_COUNT; ++candidate) {
        if ((PortNumberMap[candidate / 32] & PortMask(candidate)) == 0) {
            index = candidate;
            break;
        }
    }
    if (index == PORT_COUNT) return STATUS_OBJECT_NAME_COLLISION;
    PortNumberMap[index / 32] |= PortMask(index);
    if (PortIndex != nullptr) *PortIndex = static_cast<SHORT>(index);

    char name[16];
    sprintf(name, OSLNK_PORT_NAME_FORMAT, OSLNK_PORT_NAME_PREFIX, static_cast<int>(index + 1));
    return WritePortName(PhysicalDeviceObject, name);
}

VOID BuildDeviceName(WCHAR* Buffer, ULONG Units, USHORT Number)
{
    char name[32];
    sprintf(name, "%s%02u", OSLNK_DEVICE_NAME_PREFIX, static_cast<unsigned>(Number));
    WidenInto(Buffer, Units, name);
}

VOID BuildDosDeviceName(WCHAR* Buffer, ULONG Units, SHORT PortIndex)
{
    char name[32];
    sprintf(name, "%s%d", OSLNK_DOS_NAME_PREFIX, static_cast<int>(PortIndex) + 1);
    WidenInto(Buffer, Units, name);
}

const WCHAR* PortNameOfDosName(const WCHAR* DosName)
{
    const WCHAR* last = DosName;
    for (const WCHAR* p = DosName; *p != 0; ++p) {
        if (*p == static_cast<WCHAR>('\\')) last = p + 1;
    }
    return last;
}

ULONG WideLength(const WCHAR* Text)
{
    ULONG length = 0;
    while (Text[length] != 0) ++length;
    return length;
}
