// The URB lengths Windows 98's USBD accepts: each function's request layout fixes the header's Length.
#pragma once

#include <ddk/wdm.h>
#include <usb.h>

#include <optional>

namespace w98 {

// The Length that a URB of this function must carry, in the layout of the platform's pointer size; nothing
// where the length is not fixed by the function alone (a select-configuration request with a descriptor is
// sized by its interfaces and checked where they are read) or the function has no layout here.
std::optional<USHORT> RequiredUrbLength(const URB& urb);

}  // namespace w98
