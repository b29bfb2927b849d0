#include "product_setup.h"

#include <winspool.h>

#include "oslnk_names.h"
#include "registry_number.h"
#include "package.h"
#include "setup_texts.h"

namespace {

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

// `folder` + separator (unless it ends in one already) + `name` into `path`; false when it would not fit.
bool JoinPath(char* path, const char* folder, const char* name) {
  user_kit::Text text(path, ProductSetup::kPathSize);
  return !text.Append(folder).AppendPath(name).Overflowed();
}

}  // namespace

bool MediaFolderOf(const char* programPath, char* folder, int size) {
  const int length = user_kit::FolderLength(programPath);
  if (length == 0) return false;
  // The folder without its separator, except a drive's root ("C:\"), which keeps it.
  const int keep = (length == 3 && programPath[1] == ':') ? length : length - 1;
  user_kit::Text text(folder, size);
  return !text.AppendChars(programPath, keep).Overflowed();
}

ProductSetup::ProductSetup(const char* sourceFolder)
    : sourceKnown_(sourceFolder != nullptr && sourceFolder[0] != '\0'),
      sourceTooLong_(false),
      copiedCount_(0),
      classKeyCreated_(false),
      driverKeyCreated_(false),
      earlierCount_(0),
      failedError_(0),
      notRestoredCount_(0) {
  user_kit::Fill(systemDirectory_, kPathSize);
  user_kit::Fill(windowsDirectory_, kPathSize);
  user_kit::Fill(failedItem_, kPathSize);
  user_kit::Fill(copied_, sizeof copied_);
  user_kit::Fill(kept_, sizeof kept_);
  user_kit::Fill(notRestored_, sizeof notRestored_);
  user_kit::Fill(source_, kPathSize);
  // Held whole or not at all: Install refuses a folder that does not fit, naming as much of it as fits.
  if (sourceKnown_ && !user_kit::Copy(source_, kPathSize, sourceFolder)) {
    sourceTooLong_ = true;
    user_kit::CopyWholeCharacters(source_, kPathSize, sourceFolder);
  }
}

SetupResult ProductSetup::Fail(SetupResult result, const char* item, DWORD error) {
  user_kit::CopyWholeCharacters(failedItem_, kPathSize, item);
  failedError_ = error;
  RollBack();
  return result;
}

void ProductSetup::NoteNotRestored(const char* item, const char* keptCopy) {
  if (notRestoredCount_ >= kMaxNotRestored) return;
  user_kit::Text text(notRestored_[notRestoredCount_++], sizeof notRestored_[0]);
  text.Append(item);
  if (keptCopy) text.Append(OSLNKSET_TEXT_EARLIER_COPY).Append(keptCopy).Append(OSLNKSET_TEXT_EARLIER_COPY_END);
}

SetupResult ProductSetup::Install() {
  if (!sourceKnown_) return Fail(kSetupNoMediaFolder, "", 0);
  if (sourceTooLong_) return Fail(kSetupPathTooLong, source_, 0);
  const UINT systemLength = GetSystemDirectoryA(systemDirectory_, kPathSize);
  if (systemLength == 0 || systemLength >= static_cast<UINT>(kPathSize))
    return Fail(kSetupNoSystemDirectory, "", GetLastError());
  const UINT windowsLength = GetWindowsDirectoryA(windowsDirectory_, kPathSize);
  if (windowsLength == 0 || windowsLength >= static_cast<UINT>(kPathSize))
    return Fail(kSetupNoSystemDirectory, "", GetLastError());

  // Every file of the media first, so that a missing one stops setup before anything is written. A folder of
  // the same name is no file either.
  char path[kPathSize];
  for (int i = 0; i < kFileCount; ++i) {
    if (!JoinPath(path, source_, kPackageFiles[i].sourceName)) return Fail(kSetupPathTooLong, source_, 0);
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return Fail(kSetupSourceMissing, path, GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(kSetupSourceMissing, path, 0);
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
    user_kit::Text keptPath(kept, kPathSize);
    if (keptPath.Append(to).Append(kKeptSuffix).Overflowed()) return Fail(kSetupPathTooLong, destinationFolder, 0);
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
  user_kit::Copy(copied_[copiedCount_], kPathSize, to);
  user_kit::Copy(kept_[copiedCount_], kPathSize, kept);
  ++copiedCount_;
  return kSetupDone;
}

// Writes one value, first keeping what it held (or that it was absent) for a rollback.
LONG ProductSetup::WriteValue(HKEY key, bool driverKey, const char* name, DWORD type, const BYTE* data,
                              DWORD size) {
  if (earlierCount_ < kMaxEarlierValues) {
    EarlierValue& e = earlier_[earlierCount_++];
    e.inDriverKey = driverKey;
    e.key = driverKey ? OSLNK_PACKAGE_DRIVER_KEY : OSLNK_PACKAGE_CLASS_KEY;
    e.name = name;
    e.type = 0;
    e.size = sizeof e.data;
    const LONG found = RegQueryValueExA(key, name, NULL, &e.type, e.data, &e.size);
    e.existed = found == ERROR_SUCCESS || found == ERROR_MORE_DATA;
    e.tooLarge = found == ERROR_MORE_DATA;
  }
  return RegSetValueExA(key, name, 0, type, data, size);
}

SetupResult ProductSetup::WriteClassKeys() {
  HKEY classKey = NULL;
  DWORD disposition = 0;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, OSLNK_PACKAGE_CLASS_KEY, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL,
                                &classKey, &disposition);
  if (status != ERROR_SUCCESS) return Fail(kSetupRegistryFailed, OSLNK_PACKAGE_CLASS_KEY, static_cast<DWORD>(status));
  classKeyCreated_ = disposition == REG_CREATED_NEW_KEY;
  for (const StringValue& v : kClassValues) {
    if (status == ERROR_SUCCESS)
      status = WriteValue(classKey, false, v.name, REG_SZ, reinterpret_cast<const BYTE*>(v.data),
                          static_cast<DWORD>(user_kit::Length(v.data) + 1));
  }
  RegCloseKey(classKey);
  if (status != ERROR_SUCCESS) return Fail(kSetupRegistryFailed, OSLNK_PACKAGE_CLASS_KEY, static_cast<DWORD>(status));

  HKEY driverKey = NULL;
  status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, OSLNK_PACKAGE_DRIVER_KEY, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL,
                           &driverKey, &disposition);
  if (status != ERROR_SUCCESS) return Fail(kSetupRegistryFailed, OSLNK_PACKAGE_DRIVER_KEY, static_cast<DWORD>(status));
  driverKeyCreated_ = disposition == REG_CREATED_NEW_KEY;
  for (const StringValue& v : kDriverStrings) {
    if (status == ERROR_SUCCESS)
      status = WriteValue(driverKey, true, v.name, REG_SZ, reinterpret_cast<const BYTE*>(v.data),
                          static_cast<DWORD>(user_kit::Length(v.data) + 1));
  }
  for (const DwordValue& v : kDriverDwords) {
    // A setting an earlier installation left stays, in either form Windows 98 writes it; anything else
    // becomes the default again. Written as REG_DWORD.
    DWORD value = v.data;
    user_kit::QueryNumberValue(driverKey, v.name, &value);  // leaves the default where it reads nothing usable
    if (status == ERROR_SUCCESS)
      status = WriteValue(driverKey, true, v.name, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value);
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

// Puts back, newest first, the values setup overwrote in keys that existed before it; a value that cannot be
// put back is named.
void ProductSetup::RestoreValues() {
  while (earlierCount_ > 0) {
    const EarlierValue& e = earlier_[--earlierCount_];
    if (driverKeyCreated_ && e.inDriverKey) continue;  // went with the key
    HKEY key = NULL;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, e.key, 0, KEY_WRITE, &key);
    if (status == ERROR_SUCCESS) {
      if (e.tooLarge) {
        status = ERROR_MORE_DATA;
      } else if (e.existed) {
        status = RegSetValueExA(key, e.name, 0, e.type, e.data, e.size);
      } else {
        status = RegDeleteValueA(key, e.name);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
      }
      RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
      char item[2 * kPathSize];
      user_kit::Text text(item, sizeof item);
      text.Append(e.key).Append("\\").Append(e.name);
      NoteNotRestored(item);
    }
  }
}

void ProductSetup::RollBack() {
  if (classKeyCreated_ || driverKeyCreated_) {
    HKEY parent = NULL;
    const char* parentPath = classKeyCreated_ ? OSLNK_PACKAGE_CLASS_PARENT : OSLNK_PACKAGE_CLASS_KEY;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, parentPath, 0, KEY_ALL_ACCESS, &parent);
    if (status == ERROR_SUCCESS) {
      // The driver key first: Windows NT (and Wine) refuse to delete a key that still has subkeys.
      status = RegDeleteKeyA(parent, classKeyCreated_ ? OSLNK_PACKAGE_CLASS_NAME "\\0000" : "0000");
      if (classKeyCreated_ && status == ERROR_SUCCESS) status = RegDeleteKeyA(parent, OSLNK_PACKAGE_CLASS_NAME);
      RegCloseKey(parent);
    }
    if (status != ERROR_SUCCESS) NoteNotRestored(classKeyCreated_ ? OSLNK_PACKAGE_CLASS_KEY : OSLNK_PACKAGE_DRIVER_KEY);
  }
  if (classKeyCreated_) {
    earlierCount_ = 0;  // every value written went with the key
  } else {
    RestoreValues();
  }
  classKeyCreated_ = false;
  driverKeyCreated_ = false;
  while (copiedCount_ > 0) {
    --copiedCount_;
    const char* copied = copied_[copiedCount_];
    const char* kept = kept_[copiedCount_];
    if (kept[0]) {
      // The earlier file back in place of the new one. Where that fails (the file is in use), its copy stays,
      // and the message names both.
      if (CopyFileA(kept, copied, FALSE)) {
        DeleteFileA(kept);
      } else {
        NoteNotRestored(copied, kept);
      }
    } else if (!DeleteFileA(copied)) {
      NoteNotRestored(copied);
    }
    user_kit::Fill(copied_[copiedCount_], kPathSize);
    user_kit::Fill(kept_[copiedCount_], kPathSize);
  }
}

void ComposeSetupMessage(const ProductSetup& setup, SetupResult result, char* text, int size) {
  if (size <= 0) return;
  user_kit::Text message(text, size);
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
    case kSetupNoMediaFolder: lead = OSLNKSET_TEXT_NO_MEDIA_FOLDER; break;
  }
  message.Append(lead);
  if (result == kSetupDone) return;
  message.Append(setup.FailedItem());
  if (setup.FailedError() != 0) message.Append(OSLNKSET_TEXT_ERROR_CODE).AppendNumber(setup.FailedError());
  // "Nothing was changed" only when nothing was left changed.
  if (setup.NotRestoredCount() == 0) {
    message.Append(OSLNKSET_TEXT_ROLLED_BACK);
  } else {
    message.Append(OSLNKSET_TEXT_NOT_RESTORED);
    for (int i = 0; i < setup.NotRestoredCount(); ++i) message.Append("\n").Append(setup.NotRestored(i));
  }
}
