// The USBD library routines a client driver links against: walking a configuration descriptor and building
// select-configuration requests.
#include <ddk/wdm.h>
#include <usb.h>
#include <ddk/usbdlib.h>

#include <cstring>

namespace {

// Next descriptor after `d` within [begin, end), or null when `d` is malformed (zero length, runs past the end).
const UCHAR* nextDescriptor(const UCHAR* d, const UCHAR* end) {
  if (d + 2 > end) return nullptr;
  UCHAR length = d[0];
  if (length < 2 || d + length > end) return nullptr;
  return d + length;
}

// The bytes the descriptor covers: wTotalLength, and never less than the configuration descriptor itself.
const UCHAR* configurationEnd(PUSB_CONFIGURATION_DESCRIPTOR cd) {
  const UCHAR* base = reinterpret_cast<const UCHAR*>(cd);
  USHORT total = cd->wTotalLength;
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) total = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  return base + total;
}

}  // namespace

extern "C" {

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (!VersionInformation) return;
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x0110;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
  if (!DescriptorBuffer || !StartPosition) return nullptr;
  const UCHAR* begin = static_cast<const UCHAR*>(DescriptorBuffer);
  const UCHAR* end = begin + TotalLength;
  const UCHAR* d = static_cast<const UCHAR*>(StartPosition);
  if (d < begin) return nullptr;
  while (d && d + 2 <= end) {
    if (d[0] < 2 || d + d[0] > end) return nullptr;
    if (d[1] == DescriptorType) return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(d));
    d = nextDescriptor(d, end);
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (!ConfigurationDescriptor) return nullptr;
  const UCHAR* end = configurationEnd(ConfigurationDescriptor);
  const UCHAR* d = StartPosition ? static_cast<const UCHAR*>(StartPosition)
                                 : reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  for (;;) {
    auto* found = USBD_ParseDescriptors(ConfigurationDescriptor, ULONG(end - reinterpret_cast<const UCHAR*>(
                                                                              ConfigurationDescriptor)),
                                        const_cast<UCHAR*>(d), USB_INTERFACE_DESCRIPTOR_TYPE);
    if (!found) return nullptr;
    auto* id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
    if (id->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        (InterfaceNumber == -1 || id->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || id->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || id->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || id->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || id->bInterfaceProtocol == InterfaceProtocol)) {
      return id;
    }
    d = reinterpret_cast<const UCHAR*>(found) + found->bLength;
  }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                             AlternateSetting, -1, -1, -1);
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  if (!InterfaceDescriptor || !BufferEnd) return 0;
  const UCHAR* begin = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
  const UCHAR* d = nextDescriptor(begin, BufferEnd);
  ULONG length = d ? ULONG(d - begin) : 0;
  // The interface's own descriptors run until the next interface descriptor.
  while (d && d + 2 <= BufferEnd && d[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
    const UCHAR* next = nextDescriptor(d, BufferEnd);
    if (!next) break;
    length += ULONG(next - d);
    d = next;
  }
  return length;
}

}  // extern "C"
