// advapi32: the registry functions over the session's registry. Key and value names and string data are
// ANSI (code page 932) here and UTF-8 / UTF-16LE in the registry.
#include <windows.h>

#include <cstring>

#include "user/codepage.h"
#include "user/session_internal.h"

using w98::UserSession;

namespace {

UserSession::Impl& impl() { return UserSession::current().impl(); }
w98::Registry& reg() { return UserSession::current().registry(); }

// The registry path of an open or predefined key; error set when the handle is unknown or its key is gone.
bool keyPath(HKEY key, std::string& path, LONG& error) {
  path = w98::predefinedRootPath(key);
  if (!path.empty()) return true;
  if (reinterpret_cast<uintptr_t>(key) == 0x80000004) {  // HKEY_PERFORMANCE_DATA: none on Windows 98
    error = ERROR_BADKEY;
    return false;
  }
  auto& im = impl();
  std::lock_guard lock(im.keyMutex);
  auto it = im.keys.find(reinterpret_cast<uintptr_t>(key));
  if (it == im.keys.end()) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  path = it->second;
  if (!reg().keyExists(path)) {
    error = ERROR_KEY_DELETED;
    return false;
  }
  return true;
}

// Appends an ANSI relative path to a key's path; false when it has an empty component.
bool joinPath(std::string& path, LPCSTR sub) {
  if (!sub || !*sub) return true;
  std::string rel = w98::cp932ToUtf8(sub);
  size_t pos = 0;
  while (true) {
    size_t next = rel.find('\\', pos);
    std::string part = rel.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (part.empty()) return false;
    path += "\\" + part;
    if (next == std::string::npos) return true;
    pos = next + 1;
  }
}

HKEY newHandle(const std::string& path) {
  auto& im = impl();
  std::lock_guard lock(im.keyMutex);
  uintptr_t h = im.nextKey;
  im.nextKey += 4;
  im.keys[h] = *w98::normalizeRegPath(path);
  return reinterpret_cast<HKEY>(h);
}

std::string foldedPath(const std::string& path) {
  std::string p = w98::normalizeRegPath(path).value_or(path);
  for (char& c : p) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return p;
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::string path;
  LONG err = ERROR_SUCCESS;
  if (!keyPath(hKey, path, err)) return err;
  if (!joinPath(path, lpSubKey)) return ERROR_BAD_PATHNAME;
  if (!reg().keyExists(path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = newHandle(path);
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                            PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::string path;
  LONG err = ERROR_SUCCESS;
  if (!keyPath(hKey, path, err)) return err;
  if (!joinPath(path, lpSubKey)) return ERROR_BAD_PATHNAME;
  bool existed = reg().keyExists(path);
  if (!existed && !reg().createKey(path)) return ERROR_BADKEY;
  if (lpdwDisposition) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *phkResult = newHandle(path);
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                          LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  std::string path;
  LONG err = ERROR_SUCCESS;
  if (!keyPath(hKey, path, err)) return err;
  auto names = reg().subkeys(path);
  if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
  const std::string name = w98::utf8ToCp932(names[dwIndex]);
  if (name.size() + 1 > *lpcchName) {
    *lpcchName = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpName, name.c_str(), name.size() + 1);
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass && lpcchClass && *lpcchClass > 0) {
    lpClass[0] = '\0';
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  std::string path;
  LONG err = ERROR_SUCCESS;
  if (!keyPath(hKey, path, err)) return err;
  if (!lpSubKey || !*lpSubKey) return ERROR_BADKEY;
  if (!joinPath(path, lpSubKey)) return ERROR_BAD_PATHNAME;
  if (!reg().keyExists(path)) return ERROR_FILE_NOT_FOUND;
  const auto& options = UserSession::current().options();
  if (!options.recursiveKeyDelete && !reg().subkeys(path).empty()) return ERROR_ACCESS_DENIED;
  const std::string target = foldedPath(path);
  for (const auto& locked : options.lockedKeys) {
    const std::string l = foldedPath(locked);
    if (l == target || (l.size() > target.size() && l.compare(0, target.size(), target) == 0 && l[target.size()] == '\\')) {
      return ERROR_ACCESS_DENIED;
    }
  }
  return reg().deleteKeyTree(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string path;
  LONG err = ERROR_SUCCESS;
  if (!keyPath(hKey, path, err)) return err;
  return reg().deleteValue(path, lpValueName ? w98::cp932ToUtf8(lpValueName) : std::string())
             ? ERROR_SUCCESS
             : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (!w98::predefinedRootPath(hKey).empty() || reinterpret_cast<uintptr_t>(hKey) == 0x80000004) {
    return ERROR_SUCCESS;
  }
  auto& im = impl();
  std::lock_guard lock(im.keyMutex);
  return im.keys.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  std::string path;
  LONG err = ERROR_SUCCESS;
  if (!keyPath(hKey, path, err)) return err;
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  w98::RegValue v;
  v.type = static_cast<w98::RegType>(dwType);
  if (isStringType(dwType)) {
    // ANSI text, with its terminator where the size includes it, is kept as UTF-16LE.
    std::string text = w98::cp932ToUtf8(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
    auto data = w98::utf8ToUtf16le(text, false);
    if (!data) return ERROR_INVALID_PARAMETER;
    v.data = std::move(*data);
  } else if (cbData) {
    v.data.assign(lpData, lpData + cbData);
  }
  return reg().setValue(path, lpValueName ? w98::cp932ToUtf8(lpValueName) : std::string(), std::move(v))
             ? ERROR_SUCCESS
             : ERROR_KEY_DELETED;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  std::string path;
  LONG err = ERROR_SUCCESS;
  if (!keyPath(hKey, path, err)) return err;
  auto v = reg().value(path, lpValueName ? w98::cp932ToUtf8(lpValueName) : std::string());
  if (!v) return ERROR_FILE_NOT_FOUND;
  std::vector<uint8_t> out;
  const DWORD type = static_cast<DWORD>(v->type);
  if (isStringType(type)) {
    size_t n = v->data.size() & ~size_t{1};
    auto text = w98::utf16leToUtf8(std::span<const uint8_t>(v->data.data(), n));
    std::string ansi = w98::utf8ToCp932(text ? *text : std::string());
    bool terminated = n >= 2 && v->data[n - 2] == 0 && v->data[n - 1] == 0;
    out.assign(ansi.begin(), ansi.end());
    // A value stored without its terminator (as the kernel writes them) still reads as a terminated string.
    if (!terminated) out.push_back(0);
  } else {
    out = v->data;
  }
  if (lpType) *lpType = type;
  if (lpcbData) {
    const DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(out.size());
    if (lpData) {
      if (room < out.size()) return ERROR_MORE_DATA;
      if (!out.empty()) std::memcpy(lpData, out.data(), out.size());
    }
  }
  return ERROR_SUCCESS;
}

}  // extern "C"
