// Statuses shown with their names: "0xC0000034 (STATUS_OBJECT_NAME_NOT_FOUND)" for a person, `status` and
// `status_name` in JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "command.h"
#include "json.h"

namespace ostrolink {

enum class StatusKind { NtStatus, Usbd };

// The status's symbolic name, or nullopt for a number with none.
std::optional<std::string_view> statusName(uint32_t status, StatusKind kind = StatusKind::NtStatus);
// "0x%08X (NAME)", or "0x%08X (unknown status)".
std::string namedStatusText(uint32_t status, StatusKind kind = StatusKind::NtStatus);
// The name as a JSON string, or null for a number with none.
Json statusNameJson(uint32_t status, StatusKind kind = StatusKind::NtStatus);

// Sets `status` (hex) and `status_name` (prefix + "status" and prefix + "status_name") on a JSON object or reply.
template <typename Target>
Target& setStatus(Target& target, uint32_t status, StatusKind kind = StatusKind::NtStatus, std::string prefix = "") {
  target.set(prefix + "status", statusText(status));
  target.set(prefix + "status_name", statusNameJson(status, kind));
  return target;
}

}  // namespace ostrolink
