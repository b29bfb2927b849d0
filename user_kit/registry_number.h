// The driver key's numbers ("MaxTransferSize", "IFSetting", "AltSetting") as user mode reads them. Windows 98's
// installer (SETUPX) ignores the high word of an INF AddReg flag, so a value an INF writes as FLG_ADDREG_TYPE_DWORD
// (0x10001) arrives as REG_BINARY (KB Q163357; "INF AddReg Directive", Windows DDK): both forms are read.
#ifndef USER_KIT_REGISTRY_NUMBER_H
#define USER_KIT_REGISTRY_NUMBER_H

#include <windows.h>

namespace user_kit {

// `name` of `key` into *value when it is a REG_DWORD or a 4-byte (little-endian) REG_BINARY. Anything else --
// absent, shorter or longer, a string -- leaves *value alone and gives false; a longer value is refused by the
// registry into the 4-byte buffer (ERROR_MORE_DATA), never copied past it.
inline bool QueryNumberValue(HKEY key, const char* name, DWORD* value) {
  BYTE data[4] = {0, 0, 0, 0};
  DWORD type = 0, length = sizeof data;
  if (RegQueryValueExA(key, name, NULL, &type, data, &length) != ERROR_SUCCESS) return false;
  if ((type != REG_DWORD && type != REG_BINARY) || length != sizeof data) return false;
  *value = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 | static_cast<DWORD>(data[2]) << 16 |
           static_cast<DWORD>(data[3]) << 24;
  return true;
}

}  // namespace user_kit

#endif
