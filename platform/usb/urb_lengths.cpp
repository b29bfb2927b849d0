// USBD refuses a URB whose header Length is not that of its function's request structure ("_URB_HEADER
// structure", WDK: Length "specifies the length, in bytes, of the URB"). The lengths are Windows 98's: its
// _URB_PIPE_REQUEST ends at the pipe handle (the Reserved field came with Windows 2000, "_URB_PIPE_REQUEST
// structure"), and returning a device to the unconfigured state ("URB_FUNCTION_SELECT_CONFIGURATION",
// "_URB_SELECT_CONFIGURATION structure") takes the request up to its interface record and that record's
// fixed part, no pipes.
#include "usb/urb_lengths.h"

#include <usbdi.h>

#include <cstddef>

namespace w98 {

std::optional<USHORT> RequiredUrbLength(const URB& urb) {
  constexpr size_t kPipeRequest = offsetof(struct _URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE);
  constexpr size_t kUnconfigure =
      offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      if (urb.UrbSelectConfiguration.ConfigurationDescriptor) return std::nullopt;
      return USHORT(kUnconfigure);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return USHORT(kPipeRequest);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return USHORT(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    case URB_FUNCTION_CONTROL_TRANSFER:
      return USHORT(sizeof(struct _URB_CONTROL_TRANSFER));
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      return USHORT(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      return USHORT(sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
      return USHORT(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      return USHORT(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    default:
      return std::nullopt;
  }
}

}  // namespace w98
