// The cable's control codes by the names the tool's ioctl command takes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ostrolink {

struct IoctlName {
  const char* name;       // "read-registers"; nullptr for a raw code the cable does not know
  uint32_t code;          // IOCTL_KVUSB_READ_REGISTERS
  uint32_t outputLength;  // the output buffer the tool gives when --out is not given
};

std::span<const IoctlName> ioctlNames();
// By name, or a raw code written "0x..." (output length 0).
std::optional<IoctlName> findIoctl(std::string_view nameOrCode);
// The name of a known code, or nullptr.
const char* ioctlName(uint32_t code);

}  // namespace ostrolink
