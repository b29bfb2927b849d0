#include "steps/removal_steps.h"

#include <winspool.h>

#include "bounded_text.h"

namespace {

// Names the installer used.
const char kMonitorName[] = "Molvex USB Cable Port Monitor";
const char kEnvironment[] = "Windows 4.0";
const char kPortPrefix[] = "KVUSB";
const char kPortsKey[] = "System\\CurrentControlSet\\Control\\Print\\Ports";
const char kClassKey[] = "System\\CurrentControlSet\\Services\\Class";
const char kClassSubkey[] = "USBQXC";
const char kEnumKey[] = "Enum";
const char kUsbDeviceKey[] = "USB\\VID_0F1B&PID_1002";
const char kMonitorsKey[] = "System\\CurrentControlSet\\Control\\Print\\Monitors";
const char kIniMappingKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\wininit.ini";
const char kIniMappingValue[] = "rename";
const char kIniMappingData[] = "USR:wininit\\rename";  // 18 characters: written with its terminator, 19 bytes
const char kIniUserKey[] = "wininit";
const char kWininit[] = "wininit.ini";
const char kRenameSection[] = "rename";
const char kDeleteKey[] = "NUL";
const char kMonitorLibrary[] = "\\reveror.dll";
// "共有ファイルを削除しようとしました" (an attempt was made to delete a shared file), code page 932.
const char kSharedFileMessage[] =
    "\x8B\xA4\x97\x4C\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8D\xED\x8F\x9C\x82\xB5\x82\xE6\x82\xA4\x82\xC6"
    "\x82\xB5\x82\xDC\x82\xB5\x82\xBD";

const int kPathSize = user_kit::kPathSize;  // paths: 259 characters and the terminator
const int kKeyNameSize = 512;   // port key names
const int kMaxKeyDepth = 32;    // how deep DeleteKeyTree goes into a key that must be emptied first
const int kSectionSize = 32768;  // the most of section [rename] that is read back and rewritten whole

struct RootKeyRow {
  int rootCode;  // 1 HKEY_CLASSES_ROOT .. 7 HKEY_DYN_DATA
  const char* parent;
  const char* subkey;
};
const RootKeyRow kRootKeyRows[] = {{3, "Enum", "Root\\KVUSBCable"}};

struct FileRow {
  const char* name;
  bool setupFileBase;  // base: the Windows directory (the system directory's parent), else the system directory
  bool clearReadOnly;
  bool reportRefusal;
};
const FileRow kFileRows[] = {
    {"INF\\OTHER\\DODOZEREDID.INF", true, false, true},
    {"\\dudirar.dll", false, true, true},
    {"\\oslnkin.dll", false, true, true},
    {"\\reveror.dll", false, true, false},
    {"\\oslnk.sys", false, true, true},
};

HKEY RootKey(int code) {
  switch (code) {
    case 1: return HKEY_CLASSES_ROOT;
    case 2: return HKEY_CURRENT_USER;
    case 3: return HKEY_LOCAL_MACHINE;
    case 4: return HKEY_USERS;
    case 5: return HKEY_PERFORMANCE_DATA;
    case 6: return HKEY_CURRENT_CONFIG;
    case 7: return HKEY_DYN_DATA;
    default: return NULL;
  }
}

}  // namespace

RemovalSteps::RemovalSteps(HWND owner) : owner_(owner) {}

RemovalSteps::~RemovalSteps() {}

bool RemovalSteps::IsAccessRefused(DWORD error) {
  switch (error) {
    case 5: case 16: case 65: case 82: case 83: case 108: case 132: case 158: case 167:
      return true;
    default:
      return error >= 19 && error <= 36;
  }
}

void RemovalSteps::CopyChars(char* destination, const char* source, int count) {
  for (int i = 0; i < count; ++i) destination[i] = source[i];
}

void RemovalSteps::AppendString(char* destination, const char* text) {
  char* end = destination;
  while (*end) ++end;
  for (; *text; ++text) {
    *end++ = *text;
    *end = '\0';
  }
}

void RemovalSteps::FillBytes(void* buffer, int value, int count) {
  user_kit::Fill(buffer, count, static_cast<BYTE>(value & 0xFF));
}

int RemovalSteps::ComparePrefix(const char* prefix, const char* name) {
  for (int i = 0; prefix[i]; ++i) {
    // A shorter name differs at its terminator, and nothing is read past it.
    if (name[i] != prefix[i]) return 1;
  }
  return 0;
}

LONG RemovalSteps::DeleteKeyTree(HKEY parent, const char* subkey, int depth) {
  LONG result = RegDeleteKeyA(parent, subkey);
  if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND || depth >= kMaxKeyDepth) return result;
  // Refused: where a key with subkeys cannot be deleted, empty it from the bottom up, then try again.
  HKEY key;
  if (RegOpenKeyExA(parent, subkey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return result;
  char name[kKeyNameSize];
  for (;;) {
    DWORD length = kKeyNameSize;
    FillBytes(name, 0, kKeyNameSize);
    if (RegEnumKeyExA(key, 0, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
    // A subkey that stays would be enumerated at index 0 for ever.
    if (DeleteKeyTree(key, name, depth + 1) != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return RegDeleteKeyA(parent, subkey);
}

int RemovalSteps::RemoveRegistryEntries() {
  // The spooler's answer decides nothing: the monitor's key is deleted below in any case.
  DeleteMonitorA(NULL, const_cast<char*>(kEnvironment), const_cast<char*>(kMonitorName));
  (void)GetLastError();

  char name[kKeyNameSize];
  FillBytes(name, 0, kKeyNameSize);
  HKEY ports;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_ALL_ACCESS, &ports) == ERROR_SUCCESS) {
    DWORD index = 0;
    for (;;) {
      DWORD length = kKeyNameSize;
      FILETIME written;
      if (RegEnumKeyExA(ports, index, name, &length, NULL, NULL, NULL, &written) != ERROR_SUCCESS) break;
      ++index;
      if (ComparePrefix(kPortPrefix, name) == 0) {
        // The next key moves up into this position once this one has gone; a key that stays is passed over.
        if (DeleteKeyTree(ports, name) == ERROR_SUCCESS) --index;
      }
    }
    RegCloseKey(ports);
  }

  HKEY classes;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_ALL_ACCESS, &classes) == ERROR_SUCCESS) {
    DeleteKeyTree(classes, kClassSubkey);
    RegCloseKey(classes);
  }

  HKEY devices;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnumKey, 0, KEY_ALL_ACCESS, &devices) != ERROR_SUCCESS) return -1;
  DeleteKeyTree(devices, kUsbDeviceKey);
  RegCloseKey(devices);

  HKEY monitors;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMonitorsKey, 0, KEY_ALL_ACCESS, &monitors) != ERROR_SUCCESS) return -1;
  DeleteKeyTree(monitors, kMonitorName);
  RegCloseKey(monitors);
  return 0;
}

int RemovalSteps::RemoveRootDeviceKey() {
  for (unsigned i = 0; i < sizeof kRootKeyRows / sizeof kRootKeyRows[0]; ++i) {
    const RootKeyRow& row = kRootKeyRows[i];
    HKEY root = RootKey(row.rootCode);
    if (!root) return -1;
    HKEY parent;
    if (RegOpenKeyExA(root, row.parent, 0, KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS) return -1;
    DeleteKeyTree(parent, row.subkey);
    RegCloseKey(parent);
  }
  return 0;
}

void RemovalSteps::RemoveFiles() {
  char systemDirectory[kPathSize];
  FillBytes(systemDirectory, 0, kPathSize);
  const UINT n = GetSystemDirectoryA(systemDirectory, kPathSize);
  // An unreadable system directory gives no base to build on; a length that did not fit means the same.
  if (n == 0 || n >= static_cast<UINT>(kPathSize)) return;
  const int length = static_cast<int>(n);

  // The Windows directory: the system directory less its last component, its separator kept (a trail byte
  // 0x5C of a Japanese folder name is no separator).
  const int parentLength = user_kit::FolderLength(systemDirectory);

  for (unsigned i = 0; i < sizeof kFileRows / sizeof kFileRows[0]; ++i) {
    const FileRow& row = kFileRows[i];
    const int base = row.setupFileBase ? parentLength : length;
    if (base == 0) continue;  // no base to build on
    char path[kPathSize];
    FillBytes(path, 0, kPathSize);
    user_kit::Text text(path, kPathSize);
    if (text.AppendChars(systemDirectory, base).Append(row.name).Overflowed()) continue;  // a path that cannot fit

    if (row.clearReadOnly) {
      const DWORD attributes = GetFileAttributesA(path);
      if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
      }
    }
    if (!DeleteFileA(path)) {
      const DWORD error = GetLastError();
      if (row.reportRefusal && IsAccessRefused(error)) MessageBoxA(owner_, kSharedFileMessage, path, MB_OK);
    }
  }
}

int RemovalSteps::ScheduleMonitorDllRemoval() {
  // The profile mapping that NT-family systems would follow for wininit.ini; Windows 98 ignores it.
  HKEY key;
  DWORD disposition;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kIniMappingKey, 0, NULL, 0, KEY_WRITE, NULL, &key, &disposition) ==
      ERROR_SUCCESS) {
    RegSetValueExA(key, kIniMappingValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(kIniMappingData),
                   sizeof kIniMappingData);
    RegCloseKey(key);
  }
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kIniUserKey, 0, NULL, 0, KEY_WRITE, NULL, &key, &disposition) ==
      ERROR_SUCCESS) {
    RegCloseKey(key);
  }
  // Whatever the platform holds of wininit.ini goes to the file before we read it.
  WritePrivateProfileStringA(NULL, NULL, NULL, kWininit);

  char systemDirectory[kPathSize];
  FillBytes(systemDirectory, 0, kPathSize);
  const UINT n = GetSystemDirectoryA(systemDirectory, kPathSize);
  if (n == 0 || n >= static_cast<UINT>(kPathSize)) return 0;
  char path[kPathSize];
  user_kit::Text library(path, kPathSize);
  if (library.Append(systemDirectory).Append(kMonitorLibrary).Overflowed()) return 0;

  // Other programs may have their own NUL= entries in [rename]: a single-key write would replace the first of
  // them, so the section is read and written back whole with this entry added.
  char entry[kPathSize + 4];
  user_kit::Text entryText(entry, sizeof entry);
  entryText.Append(kDeleteKey).Append("=").Append(path);

  // The section as the platform returns it (entries each terminated, an empty one last), with room behind
  // it for this entry and the closing terminator, so that the entry is added in place.
  char section[kSectionSize + kPathSize + 8];
  FillBytes(section, 0, sizeof section);
  const DWORD read = GetPrivateProfileSectionA(kRenameSection, section, kSectionSize, kWininit);
  if (read >= static_cast<DWORD>(kSectionSize - 2)) {
    // Too long to be read and rewritten whole. A single-key write adds the entry only where no NUL= is there
    // yet; it would replace the first one, another program's perhaps, so then nothing is written unless that
    // first one is this entry already.
    char first[kPathSize];
    const DWORD found = GetPrivateProfileStringA(kRenameSection, kDeleteKey, "", first, kPathSize, kWininit);
    if (found == 0) return WritePrivateProfileStringA(kRenameSection, kDeleteKey, path, kWininit);
    return user_kit::SameText(first, path) ? 1 : 0;
  }
  char* end = section;
  bool present = false;
  for (; *end; end += user_kit::Length(end) + 1) {
    if (user_kit::SameText(end, entry)) present = true;
  }
  if (!present) {
    const int entryLength = user_kit::Length(entry);
    CopyChars(end, entry, entryLength + 1);
    end[entryLength + 1] = '\0';
  }
  return WritePrivateProfileSectionA(kRenameSection, section, kWininit);
}
