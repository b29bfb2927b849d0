// kernel32: copying files, creating folders, and loading libraries on the machine.
#include <dlfcn.h>
#include <windows.h>

#include "user/codepage.h"
#include "user/session.h"

using w98::Disk;
using w98::UserSession;

namespace {

// The folder part of a DOS path ("" for a bare name).
std::string parentOf(const std::string& path) {
  const auto cut = w98::findLastCharacter(path, "\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string fileNameOf(const std::string& path) {
  const auto cut = w98::findLastCharacter(path, "\\/:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

extern "C" {

// CopyFileA function (winbase.h): a missing source gives ERROR_FILE_NOT_FOUND, a missing destination folder
// ERROR_PATH_NOT_FOUND, an existing destination with bFailIfExists ERROR_FILE_EXISTS, a read-only destination
// ERROR_ACCESS_DENIED; the copy takes the source's attributes.
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  if (!lpExistingFileName || !lpNewFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Disk& disk = UserSession::current().disk();
  uint32_t error = 0;
  const uint32_t sourceAttributes = disk.attributes(lpExistingFileName, error);
  if (sourceAttributes == Disk::kInvalidAttributes || (sourceAttributes & Disk::kDirectory)) {
    SetLastError(sourceAttributes == Disk::kInvalidAttributes ? error : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const std::string to = lpNewFileName;
  if (!disk.isDirectory(parentOf(to))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const uint32_t targetAttributes = disk.attributes(to, error);
  if (targetAttributes != Disk::kInvalidAttributes) {
    if (bFailIfExists) {
      SetLastError(ERROR_FILE_EXISTS);
      return FALSE;
    }
    if (targetAttributes & (Disk::kReadOnly | Disk::kDirectory)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (disk.inUse(to)) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  }
  const auto content = disk.readFile(lpExistingFileName);
  if (!content || !disk.writeFile(to, *content)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  disk.setAttributes(to, sourceAttributes);
  return TRUE;
}

// CreateDirectoryA function (fileapi.h): ERROR_ALREADY_EXISTS for an existing folder or file, and
// ERROR_PATH_NOT_FOUND when the parent folder is missing (it creates one level only).
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (!lpPathName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Disk& disk = UserSession::current().disk();
  if (disk.exists(lpPathName)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (!disk.isDirectory(parentOf(lpPathName))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!disk.createDirectories(lpPathName)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

// LoadLibraryA function (libloaderapi.h): the file must be on the machine's disk; the code that runs is the
// host library the session registered for its file name. A missing file or an unknown image gives
// ERROR_MOD_NOT_FOUND.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (!lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  UserSession& session = UserSession::current();
  const std::filesystem::path* host = session.hostLibrary(fileNameOf(lpLibFileName));
  if (!session.disk().exists(lpLibFileName) || !host) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* handle = dlopen(host->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return static_cast<HMODULE>(handle);
}

// GetProcAddress function (libloaderapi.h): ERROR_PROC_NOT_FOUND for a name the library does not export.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (!hModule || !lpProcName) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* symbol = dlsym(static_cast<void*>(hModule), lpProcName);
  if (!symbol) SetLastError(ERROR_PROC_NOT_FOUND);
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (!hLibModule) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return dlclose(static_cast<void*>(hLibModule)) == 0;
}

}  // extern "C"
