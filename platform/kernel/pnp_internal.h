// What the kernel's other sources need from the Plug and Play manager.
#pragma once

#include <ddk/wdm.h>

#include <optional>
#include <string>

#include "kernel/kernel.h"

namespace w98 {

struct DevNodeKeys {
  std::string deviceKey;
  std::string driverKey;  // empty for a raw devnode
};

// The registry keys of the devnode whose physical device object is `pdo`.
std::optional<DevNodeKeys> pnpKeysOf(Kernel& kernel, const DEVICE_OBJECT* pdo);
// IoInvalidateDeviceRelations: queues a relations query for the devnode of `pdo`.
void pnpInvalidateRelations(Kernel& kernel, DEVICE_OBJECT* pdo, DEVICE_RELATION_TYPE type);

}  // namespace w98
