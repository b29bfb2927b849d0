// The setup of the Ostrolink package: copies the driver, the monitor install helper and the port monitor into
// the system directory and the INF into Windows 98's folder of OEM INFs, writes the cable's class key with its
// first driver key (the INF's values), and adds the port monitor through oslnkin's AddMonitor32. A step that
// fails undoes every earlier one, so that a failed setup leaves nothing behind; a file that an earlier setup
// had put there is kept aside while it is replaced and comes back when setup fails.
//
// Written against the ANSI Win32 calls with fixed buffers and no C or C++ runtime, so that the same source
// builds into oslnkset.exe and, on the host, over the emulated machine (the session tool's install).
#ifndef OSLNKSET_PRODUCT_SETUP_H
#define OSLNKSET_PRODUCT_SETUP_H

#include <windows.h>

#include "bounded_text.h"

enum SetupResult {
  kSetupDone = 0,
  kSetupNoSystemDirectory,  // GetSystemDirectoryA or GetWindowsDirectoryA failed
  kSetupPathTooLong,        // a path would not fit in MAX_PATH; FailedItem() is its start
  kSetupSourceMissing,      // a file of the media is missing; FailedItem() is its path
  kSetupCopyFailed,         // a file could not be written; FailedItem() is the destination
  kSetupRegistryFailed,     // a key or value could not be written; FailedItem() is the key
  kSetupHelperFailed,       // oslnkin.dll would not load or has no AddMonitor32; FailedItem() is its path
  kSetupMonitorFailed,      // AddMonitor32 refused the monitor; FailedItem() is the monitor's name
  kSetupNoMediaFolder,      // the folder to install from is unknown (the program's own path was not found)
};

class ProductSetup {
 public:
  static const int kPathSize = user_kit::kPathSize;
  static const int kFileCount = 4;  // three files in the system directory and the INF copy
  // What a rollback may fail to restore: each file and its kept copy, each value setup writes, the driver key.
  static const int kMaxNotRestored = 2 * kFileCount + 10;
  // Room for any message of ComposeSetupMessage.
  static const int kMessageSize = (kMaxNotRestored + 2) * (2 * kPathSize + 64) + 512;

  // `sourceFolder`: the folder of the installation media (with or without a trailing separator); null when it
  // is unknown, which Install refuses, as it refuses a folder too long for any path below it.
  explicit ProductSetup(const char* sourceFolder);
  ProductSetup(const ProductSetup&) = delete;
  ProductSetup& operator=(const ProductSetup&) = delete;

  SetupResult Install();

  // After a failure: the path, key or name concerned, and the platform's error code (0 when none applies).
  const char* FailedItem() const { return failedItem_; }
  DWORD FailedError() const { return failedError_; }
  // After a failure: what the rollback could not put back as it was (files as their paths, registry values as
  // "key\name", an earlier file's copy that was kept as its path after OSLNKSET_TEXT_EARLIER_COPY).
  int NotRestoredCount() const { return notRestoredCount_; }
  const char* NotRestored(int index) const { return notRestored_[index]; }
  // After success: the files written, in order.
  int InstalledFileCount() const { return copiedCount_; }
  const char* InstalledFile(int index) const { return copied_[index]; }

 private:
  // A registry value as it was before setup wrote it, to be put back by a rollback.
  struct EarlierValue {
    bool inDriverKey;  // else in the class key
    const char* key;   // OSLNK_PACKAGE_DRIVER_KEY or OSLNK_PACKAGE_CLASS_KEY
    const char* name;
    bool existed;
    bool tooLarge;     // longer than `data`: it cannot be put back
    DWORD type;
    DWORD size;
    BYTE data[kPathSize];
  };
  static const int kMaxEarlierValues = 10;

  SetupResult Fail(SetupResult result, const char* item, DWORD error);
  SetupResult CopyPackageFile(const char* sourceName, const char* destinationFolder, const char* destinationName);
  SetupResult WriteClassKeys();
  LONG WriteValue(HKEY key, bool driverKey, const char* name, DWORD type, const BYTE* data, DWORD size);
  SetupResult AddMonitor();
  void RollBack();
  void RestoreValues();
  void NoteNotRestored(const char* item, const char* keptCopy = nullptr);

  char source_[kPathSize];
  bool sourceKnown_;
  bool sourceTooLong_;
  char systemDirectory_[kPathSize];
  char windowsDirectory_[kPathSize];
  char copied_[kFileCount][kPathSize];
  char kept_[kFileCount][kPathSize];  // the earlier file's copy, "" when there was none
  int copiedCount_;
  bool classKeyCreated_;
  bool driverKeyCreated_;
  EarlierValue earlier_[kMaxEarlierValues];
  int earlierCount_;
  char failedItem_[kPathSize];
  DWORD failedError_;
  char notRestored_[kMaxNotRestored][2 * kPathSize + 64];
  int notRestoredCount_;
};

// The media folder of the program whose path is `programPath`: the path without its file name, into `folder`
// of `size` bytes. False when the path has no folder or it does not fit.
bool MediaFolderOf(const char* programPath, char* folder, int size);

// The message for `result` of `setup`'s last Install (Japanese, code page 932) in `text` of `size` bytes
// (kMessageSize holds any), cut short where it would not fit.
void ComposeSetupMessage(const ProductSetup& setup, SetupResult result, char* text, int size);

#endif
