#include "ioctl_names.h"

#include <array>

#include "command.h"
#include "oslnk_ioctl.h"

namespace ostrolink {

namespace {
const std::array<IoctlName, OSLNK_IOCTL_COUNT> kNames{{
    {"write-register", IOCTL_KVUSB_WRITE_REGISTER, 0},
    {"read-registers", IOCTL_KVUSB_READ_REGISTERS, OSLNK_REGISTER_SNAPSHOT_SIZE},
    {"get-device-id", IOCTL_KVUSB_GET_DEVICE_ID, OSLNK_DEVICE_ID_SIZE},
    {"select-interface", IOCTL_KVUSB_SELECT_INTERFACE, 0},
    {"soft-reset", IOCTL_KVUSB_SOFT_RESET, 0},
    {"get-port-status", IOCTL_KVUSB_GET_PORT_STATUS, OSLNK_PORT_STATUS_SIZE},
    {"reset-pipe", IOCTL_KVUSB_RESET_PIPE, 0},
    {"abort-pipes", IOCTL_KVUSB_ABORT_PIPES, 0},
    {"recover", IOCTL_KVUSB_RECOVER, 0},
}};
}  // namespace

std::span<const IoctlName> ioctlNames() { return kNames; }

std::optional<IoctlName> findIoctl(std::string_view nameOrCode) {
  for (const auto& n : kNames)
    if (nameOrCode == n.name) return n;
  if (nameOrCode.size() > 2 && nameOrCode[0] == '0' && (nameOrCode[1] == 'x' || nameOrCode[1] == 'X')) {
    try {
      auto code = static_cast<uint32_t>(parseNumber(nameOrCode, 0, 0xFFFFFFFFu, "a control code"));
      for (const auto& n : kNames)
        if (n.code == code) return n;
      return IoctlName{nullptr, code, 0};
    } catch (const CommandError&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

const char* ioctlName(uint32_t code) {
  for (const auto& n : kNames)
    if (n.code == code) return n.name;
  return nullptr;
}

}  // namespace ostrolink
