// kernel32: last error, the Windows and system directories, files on the C: drive and profile files.
#include <windows.h>

#include <cstring>

#include "user/codepage.h"
#include "user/profile.h"
#include "user/session_internal.h"

using w98::UserSession;

namespace {

thread_local DWORD t_lastError = 0;

// Copies a directory path as the *DirectoryA functions do: the length without the terminator, or, when the
// buffer is too small, the size needed with it and the buffer untouched.
UINT copyDirectory(const std::string& dir, LPSTR buffer, UINT size) {
  if (!buffer || size < dir.size() + 1) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

// Profile file names without a folder lie in the Windows directory.
std::string profilePath(LPCSTR fileName) {
  std::string name = fileName;
  if (w98::findLastCharacter(name, "\\/:") != std::string::npos) return name;
  return UserSession::current().options().windowsDirectory + "\\" + name;
}

// Copies a list of strings, each terminated, with a final extra terminator, truncated as Windows truncates.
DWORD copyList(const std::vector<std::string>& items, LPSTR out, DWORD size) {
  if (!out || size == 0) return 0;
  if (size < 2) {
    out[0] = '\0';
    return 0;
  }
  DWORD pos = 0;
  for (const auto& it : items) {
    if (pos + it.size() + 2 > size) {
      // What fits of this item, then the two terminators.
      DWORD n = size - 2 - pos;
      std::memcpy(out + pos, it.data(), n);
      out[size - 2] = '\0';
      out[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(out + pos, it.c_str(), it.size() + 1);
    pos += static_cast<DWORD>(it.size() + 1);
  }
  out[pos] = '\0';
  if (pos == 0 && size > 1) out[1] = '\0';
  return pos;
}

bool writeProfile(const std::string& path, const w98::IniFile& ini) {
  auto& disk = UserSession::current().disk();
  uint32_t err = 0;
  uint32_t attrs = disk.attributes(path, err);
  if (attrs != w98::Disk::kInvalidAttributes && (attrs & w98::Disk::kReadOnly)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (!disk.isDirectory(disk.canonical(path).value_or("C:\\") + "\\..")) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (!disk.writeFile(path, ini.text())) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  const auto& dir = UserSession::current().options().systemDirectory;
  if (!dir) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  return copyDirectory(*dir, lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return copyDirectory(UserSession::current().options().windowsDirectory, lpBuffer, uSize);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  uint32_t err = 0;
  uint32_t attrs = UserSession::current().disk().attributes(lpFileName, err);
  if (attrs == w98::Disk::kInvalidAttributes) SetLastError(err);
  return attrs;
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint32_t err = UserSession::current().disk().setAttributes(lpFileName, dwFileAttributes);
  if (err) SetLastError(err);
  return err == 0;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint32_t err = UserSession::current().disk().deleteFile(lpFileName);
  if (err) SetLastError(err);
  return err == 0;
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName) {
  auto& session = UserSession::current();
  if (!lpAppName && !lpKeyName && !lpString) {
    // Flushing the cached copy: this machine writes profiles through at once, so there is nothing left to
    // write; like Windows, the flush answers FALSE.
    session.recordFlush();
    return FALSE;
  }
  if (!lpFileName || !lpAppName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = profilePath(lpFileName);
  w98::IniFile ini(session.disk().readFile(path).value_or(""));
  if (!lpKeyName) {
    ini.removeSection(lpAppName);
  } else if (!lpString) {
    ini.removeKey(lpAppName, lpKeyName);
  } else {
    ini.set(lpAppName, lpKeyName, lpString);
  }
  return writeProfile(path, ini);
}

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName) {
  if (!lpReturnedString || nSize == 0 || !lpFileName) return 0;
  auto text = UserSession::current().disk().readFile(profilePath(lpFileName));
  w98::IniFile ini(text.value_or(""));
  if (!lpAppName) return copyList(ini.sections(), lpReturnedString, nSize);
  if (!lpKeyName) return copyList(ini.keys(lpAppName), lpReturnedString, nSize);
  std::string value = ini.get(lpAppName, lpKeyName).value_or(lpDefault ? lpDefault : "");
  if (!text) SetLastError(ERROR_FILE_NOT_FOUND);
  if (value.size() + 1 > nSize) {
    std::memcpy(lpReturnedString, value.data(), nSize - 1);
    lpReturnedString[nSize - 1] = '\0';
    return nSize - 1;
  }
  std::memcpy(lpReturnedString, value.c_str(), value.size() + 1);
  return static_cast<DWORD>(value.size());
}

DWORD WINAPI GetPrivateProfileSectionA(LPCSTR lpAppName, LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  if (!lpAppName || !lpFileName) return 0;
  auto text = UserSession::current().disk().readFile(profilePath(lpFileName));
  w98::IniFile ini(text.value_or(""));
  return copyList(ini.entries(lpAppName), lpReturnedString, nSize);
}

BOOL WINAPI WritePrivateProfileSectionA(LPCSTR lpAppName, LPCSTR lpString, LPCSTR lpFileName) {
  if (!lpAppName || !lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& session = UserSession::current();
  const std::string path = profilePath(lpFileName);
  w98::IniFile ini(session.disk().readFile(path).value_or(""));
  if (!lpString) {
    ini.removeSection(lpAppName);
  } else {
    std::vector<std::string> entries;
    for (const char* p = lpString; *p; p += std::strlen(p) + 1) entries.emplace_back(p);
    ini.replaceSection(lpAppName, entries);
  }
  return writeProfile(path, ini);
}

BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) { return w98::isCp932LeadByte(TestChar) ? TRUE : FALSE; }

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  // The running program's image; other modules are not loaded on this machine.
  if (!lpModuleName) return reinterpret_cast<HMODULE>(uintptr_t{0x400000});
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

}  // extern "C"
