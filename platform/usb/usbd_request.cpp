// USBD's select-configuration request builders; they allocate from the kernel's pool.
#include <ddk/wdm.h>
#include <usb.h>
#include <ddk/usbdlib.h>

#include <cstring>

extern "C" {

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
  ULONG interfaces = 0, pipes = 0;
  for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) {
    ++interfaces;
    pipes += e->InterfaceDescriptor->bNumEndpoints;
  }
  if (interfaces == 0) return nullptr;
  SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) + (interfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION) +
                pipes * sizeof(USBD_PIPE_INFORMATION);
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, 0x44425355));
  if (!urb) return nullptr;  // pool tag above: "USBD"
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = USHORT(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) {
    ULONG n = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = USHORT(GET_USBD_INTERFACE_SIZE(n));
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = n;
    for (ULONG p = 0; p < n; ++p) info->Pipes[p].MaximumTransferSize = 4096;  // one page, the old default
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
  }
  return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  if (Siz) *Siz = 0;
  if (!ConfigurationDescriptor) return nullptr;
  // Every interface with alternate setting 0, as the old routine does.
  USBD_INTERFACE_LIST_ENTRY list[33] = {};
  int count = 0;
  const UCHAR* d = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  while (count < 32) {
    auto* id = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, const_cast<UCHAR*>(d), -1, 0, -1, -1, -1);
    if (!id) break;
    list[count++].InterfaceDescriptor = id;
    d = reinterpret_cast<const UCHAR*>(id) + id->bLength;
  }
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
  if (urb && Siz) *Siz = urb->UrbHeader.Length;
  return urb;
}

}  // extern "C"
