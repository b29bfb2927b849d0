#include "product_setup.h"

#include <winspool.h>

#include "oslnk_names.h"
#include "package.h"
#include "setup_texts.h"

namespace {

const char kSeparator[] = "\\";
// Appended to a file's path for the copy of an earlier file kept while setup replaces it.
const char kKeptSuffix[] = ".~os";

// The files of the media and where they go: into the system directory, or the INF below the Windows directory.
struct PackageFile {
  const char* sourceName;
  bool intoSystemDirectory;
  const char* destinationName;
};
const PackageFile kPackageFiles[ProductSetup::kFileCount] = {
    {OSLNK_PACKAGE_DRIVER_FILE, true, OSLNK_PACKAGE_DRIVER_FILE},
    {OSLNK_PACKAGE_HELPER_FILE, true, OSLNK_PACKAGE_HELPER_FILE},
    {OSLNK_PACKAGE_MONITOR_FILE, true, OSLNK_PACKAGE_MONITOR_FILE},
    {OSLNK_PACKAGE_INF_FILE, false, OSLNK_PACKAGE_INF_COPY},
};

struct StringValue {
  const char* name;
  const char* data;
};
// The class key, as [ClassInstall] of the INF writes it.
const StringValue kClassValues[] = {{"", OSLNK_PACKAGE_CLASS_DESCRIPTION}, {"Icon", "-20"}};
// The driver key, as the INF's install section writes it: NTKERN loads the WDM driver named by NTMPDriver.
const StringValue kDriverStrings[] = {{"DriverDesc", OSLNK_PACKAGE_DEVICE_DESCRIPTION},
                                      {"ProviderName", OSLNK_PACKAGE_PROVIDER},
                                      {"DevLoader", "*ntkern"},
                                      {"NTMPDriver", OSLNK_PACKAGE_DRIVER_FILE}};
struct DwordValue {
  const char* name;
  DWORD data;
};
const DwordValue kDriverDwords[] = {{OSLNK_VALUE_MAX_TRANSFER_SIZE, OSLNK_DEFAULT_MAX_TRANSFER_SIZE},
                                    {OSLNK_VALUE_IF_SETTING, OSLNK_DEFAULT_IF_SETTING},
                                    {OSLNK_VALUE_ALT_SETTING, OSLNK_DEFAULT_ALT_SETTING}};

typedef BOOL(WINAPI* AddMonitor32Function)(LPSTR server, DWORD level, LPBYTE monitorInfo);

void Clear(char* buffer, int size) {
  for (int i = 0; i < size; ++i) buffer[i] = '\0';
}

// `folder` + separator (unless it ends in one already) + `name` into `path`; false when it would not fit.
bool JoinPath(char* path, const char* folder, const char* name) {
  path[0] = '\0';
  if (!SetupAppend(path, ProductSetup::kPathSize, folder)) return false;
  const int n = SetupTextLength(path);
  if (n > 0 && path[n - 1] != '\\' && !SetupAppend(path, ProductSetup::kPathSize, kSeparator)) return false;
  return SetupAppend(path, ProductSetup::kPathSize, name);
}

LONG SetString(HKEY key, const char* name, const char* data) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                        static_cast<DWORD>(SetupTextLength(data) + 1));
}

}  // namespace

int SetupTextLength(const char* text) {
  int n = 0;
  while (text[n]) ++n;
  return n;
}

bool SetupAppend(char* destination, int size, const char* text) {
  const int at = SetupTextLength(destination), n = SetupTextLength(text);
  if (at + n + 1 > size) return false;
  for (int i = 0; i <= n; ++i) destination[at + i] = text[i];
  return true;
}

bool SetupAppendNumber(char* destination, int size, DWORD value) {
  char digits[11];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  char text[11];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  return SetupAppend(destination, size, text);
}

ProductSetup::ProductSetup(const char* sourceFolder) : copiedCount_(0), classKeyCreated_(false), failedError_(0) {
  Clear(source_, kPathSize);
  Clear(systemDirectory_, kPathSize);
  Clear(windowsDirectory_, kPathSize);
  Clear(failedItem_, kPathSize);
  for (int i = 0; i < kFileCount; ++i) {
    Clear(copied_[i], kPathSize);
    Clear(kept_[i], kPathSize);
  }
  // A source folder too long for any path is refused by Install (the joined paths would not fit either).
  SetupAppend(source_, kPathSize, sourceFolder);
}

SetupResult ProductSetup::Fail(SetupResult result, const char* item, DWORD error) {
  Clear(failedItem_, kPathSize);
  for (int i = 0; i < kPathSize - 1 && item[i]; ++i) failedItem_[i] = item[i];
  failedError_ = error;
  RollBack();
  return result;
}

SetupResult ProductSetup::Install() {
  const UINT systemLength = GetSystemDirectoryA(systemDirectory_, kPathSize);
  if (systemLength == 0 || systemLength >= static_cast<UINT>(kPathSize))
    return Fail(kSetupNoSystemDirectory, "", GetLastError());
  const UINT windowsLength = GetWindowsDirectoryA(windowsDirectory_, kPathSize);
  if (windowsLength == 0 || windowsLength >= static_cast<UINT>(kPathSize))
    return Fail(kSetupNoSystemDirectory, "", GetLastError());

  // Every file of the media first, so that a missing one stops setup before anything is written.
  char path[kPathSize];
  for (int i = 0; i < kFileCount; ++i) {
    if (!JoinPath(path, source_, kPackageFiles[i].sourceName)) return Fail(kSetupPathTooLong, source_, 0);
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return Fail(kSetupSourceMissing, path, GetLastError());
  }

  // Windows 98 keeps the INFs of OEM drivers in INF\OTHER; an INF copied there is found when the cable is
  // first plugged in. The folders may exist already.
  if (!JoinPath(path, windowsDirectory_, "INF")) return Fail(kSetupPathTooLong, windowsDirectory_, 0);
  CreateDirectoryA(path, NULL);
  if (!JoinPath(path, windowsDirectory_, OSLNK_PACKAGE_INF_FOLDER)) return Fail(kSetupPathTooLong, windowsDirectory_, 0);
  CreateDirectoryA(path, NULL);

  for (int i = 0; i < kFileCount; ++i) {
    const PackageFile& f = kPackageFiles[i];
    const SetupResult r =
        CopyPackageFile(f.sourceName, f.intoSystemDirectory ? systemDirectory_ : windowsDirectory_, f.destinationName);
    if (r != kSetupDone) return r;
  }
  const SetupResult keys = WriteClassKeys();
  if (keys != kSetupDone) return keys;
  const SetupResult monitor = AddMonitor();
  if (monitor != kSetupDone) return monitor;
  for (int i = 0; i < copiedCount_; ++i) {
    if (kept_[i][0]) DeleteFileA(kept_[i]);
  }
  return kSetupDone;
}

SetupResult ProductSetup::CopyPackageFile(const char* sourceName, const char* destinationFolder,
                                          const char* destinationName) {
  char from[kPathSize], to[kPathSize];
  if (!JoinPath(from, source_, sourceName)) return Fail(kSetupPathTooLong, source_, 0);
  if (!JoinPath(to, destinationFolder, destinationName)) return Fail(kSetupPathTooLong, destinationFolder, 0);
  // An earlier setup's file is kept aside, to come back should this setup fail.
  char kept[kPathSize];
  kept[0] = '\0';
  const DWORD earlier = GetFileAttributesA(to);
  if (earlier != INVALID_FILE_ATTRIBUTES && !(earlier & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!SetupAppend(kept, kPathSize, to) || !SetupAppend(kept, kPathSize, kKeptSuffix))
      return Fail(kSetupPathTooLong, destinationFolder, 0);
    if (!CopyFileA(to, kept, FALSE)) return Fail(kSetupCopyFailed, to, GetLastError());
    // Writable, so that it can be deleted again (the copy took the earlier file's attributes).
    SetFileAttributesA(kept, earlier & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
  // Replaces the earlier file (a new version over an old one); a read-only or busy file refuses.
  if (!CopyFileA(from, to, FALSE)) {
    const DWORD error = GetLastError();
    if (kept[0]) DeleteFileA(kept);
    return Fail(kSetupCopyFailed, to, error);
  }
  // The copy keeps the media's attributes; a read-only flag from a CD would hinder the removal.
  const DWORD attributes = GetFileAttributesA(to);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesA(to, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  for (int i = 0; i <= SetupTextLength(to); ++i) copied_[copiedCount_][i] = to[i];
  for (int i = 0; i <= SetupTextLength(kept); ++i) kept_[copiedCount_][i] = kept[i];
  ++copiedCount_;
  return kSetupDone;
}

SetupResult ProductSetup::WriteClassKeys() {
  HKEY classKey = NULL;
  DWORD disposition = 0;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, OSLNK_PACKAGE_CLASS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &classKey,
                                &disposition);
  if (status != ERROR_SUCCESS) return Fail(kSetupRegistryFailed, OSLNK_PACKAGE_CLASS_KEY, static_cast<DWORD>(status));
  classKeyCreated_ = disposition == REG_CREATED_NEW_KEY;
  for (const StringValue& v : kClassValues) {
    if (status == ERROR_SUCCESS) status = SetString(classKey, v.name, v.data);
  }
  RegCloseKey(classKey);
  if (status != ERROR_SUCCESS) return Fail(kSetupRegistryFailed, OSLNK_PACKAGE_CLASS_KEY, static_cast<DWORD>(status));

  HKEY driverKey = NULL;
  status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, OSLNK_PACKAGE_DRIVER_KEY, 0, NULL, 0, KEY_WRITE, NULL, &driverKey,
                           &disposition);
  if (status != ERROR_SUCCESS) return Fail(kSetupRegistryFailed, OSLNK_PACKAGE_DRIVER_KEY, static_cast<DWORD>(status));
  for (const StringValue& v : kDriverStrings) {
    if (status == ERROR_SUCCESS) status = SetString(driverKey, v.name, v.data);
  }
  for (const DwordValue& v : kDriverDwords) {
    if (status == ERROR_SUCCESS)
      status = RegSetValueExA(driverKey, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.data), sizeof v.data);
  }
  RegCloseKey(driverKey);
  if (status != ERROR_SUCCESS) return Fail(kSetupRegistryFailed, OSLNK_PACKAGE_DRIVER_KEY, static_cast<DWORD>(status));
  return kSetupDone;
}

SetupResult ProductSetup::AddMonitor() {
  char helper[kPathSize];
  if (!JoinPath(helper, systemDirectory_, OSLNK_PACKAGE_HELPER_FILE)) return Fail(kSetupPathTooLong, systemDirectory_, 0);
  // The helper just copied, loaded as the product's installers load it.
  HMODULE library = LoadLibraryA(helper);
  if (!library) return Fail(kSetupHelperFailed, helper, GetLastError());
  AddMonitor32Function addMonitor =
      reinterpret_cast<AddMonitor32Function>(reinterpret_cast<void*>(GetProcAddress(library, OSLNK_PACKAGE_ADD_MONITOR_EXPORT)));
  if (!addMonitor) {
    const DWORD error = GetLastError();
    FreeLibrary(library);
    return Fail(kSetupHelperFailed, helper, error);
  }
  char name[] = OSLNK_PACKAGE_MONITOR_NAME;
  char environment[] = OSLNK_PACKAGE_MONITOR_ENVIRONMENT;
  char dll[] = OSLNK_PACKAGE_MONITOR_FILE;
  MONITOR_INFO_2A info;
  info.pName = name;
  info.pEnvironment = environment;
  info.pDLLName = dll;
  SetLastError(0);
  const BOOL added = addMonitor(NULL, 2, reinterpret_cast<LPBYTE>(&info));
  const DWORD error = added ? 0 : GetLastError();
  FreeLibrary(library);
  // A monitor of this name already there is an earlier setup's: its library was replaced above.
  if (!added && error != ERROR_PRINT_MONITOR_ALREADY_INSTALLED) return Fail(kSetupMonitorFailed, name, error);
  return kSetupDone;
}

void ProductSetup::RollBack() {
  if (classKeyCreated_) {
    HKEY parent = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, OSLNK_PACKAGE_CLASS_PARENT, 0, KEY_ALL_ACCESS, &parent) == ERROR_SUCCESS) {
      // The driver key first: Windows NT (and Wine) refuse to delete a key that still has subkeys.
      RegDeleteKeyA(parent, OSLNK_PACKAGE_CLASS_NAME "\\0000");
      RegDeleteKeyA(parent, OSLNK_PACKAGE_CLASS_NAME);
      RegCloseKey(parent);
    }
    classKeyCreated_ = false;
  }
  while (copiedCount_ > 0) {
    --copiedCount_;
    const char* kept = kept_[copiedCount_];
    // The earlier file back in place of the new one; without one, the new file goes.
    if (!kept[0] || !CopyFileA(kept, copied_[copiedCount_], FALSE)) DeleteFileA(copied_[copiedCount_]);
    if (kept[0]) DeleteFileA(kept);
    Clear(copied_[copiedCount_], kPathSize);
    Clear(kept_[copiedCount_], kPathSize);
  }
}

void ComposeSetupMessage(const ProductSetup& setup, SetupResult result, char* text, int size) {
  if (size <= 0) return;
  text[0] = '\0';
  const char* lead = OSLNKSET_TEXT_DONE;
  switch (result) {
    case kSetupDone: break;
    case kSetupNoSystemDirectory: lead = OSLNKSET_TEXT_NO_SYSTEM_DIRECTORY; break;
    case kSetupPathTooLong: lead = OSLNKSET_TEXT_PATH_TOO_LONG; break;
    case kSetupSourceMissing: lead = OSLNKSET_TEXT_SOURCE_MISSING; break;
    case kSetupCopyFailed: lead = OSLNKSET_TEXT_COPY_FAILED; break;
    case kSetupRegistryFailed: lead = OSLNKSET_TEXT_REGISTRY_FAILED; break;
    case kSetupHelperFailed: lead = OSLNKSET_TEXT_HELPER_FAILED; break;
    case kSetupMonitorFailed: lead = OSLNKSET_TEXT_MONITOR_FAILED; break;
  }
  SetupAppend(text, size, lead);
  if (result == kSetupDone) return;
  SetupAppend(text, size, setup.FailedItem());
  if (setup.FailedError() != 0 && SetupAppend(text, size, OSLNKSET_TEXT_ERROR_CODE))
    SetupAppendNumber(text, size, setup.FailedError());
  SetupAppend(text, size, OSLNKSET_TEXT_ROLLED_BACK);
}
