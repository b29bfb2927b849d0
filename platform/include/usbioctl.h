/* Internal device-control codes of the USB stack (host build of the published header). */
#ifndef __USBIOCTL_H__
#define __USBIOCTL_H__

#include <ddk/wdm.h>
#include <usb.h>

#ifndef FILE_DEVICE_USB
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#endif

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7

/* CTL_CODE(FILE_DEVICE_USB, function, METHOD_NEITHER, FILE_ANY_ACCESS), spelled out so the values do not
 * depend on the order the headers are read in. */
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x00220003
#define IOCTL_INTERNAL_USB_RESET_PORT 0x00220007
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO 0x0022000F
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS 0x00220013
#define IOCTL_INTERNAL_USB_ENABLE_PORT 0x00220017
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT 0x0022001B
#define IOCTL_INTERNAL_USB_CYCLE_PORT 0x0022001F

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

#endif /* __USBIOCTL_H__ */
