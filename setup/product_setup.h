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

enum SetupResult {
  kSetupDone = 0,
  kSetupNoSystemDirectory,  // GetSystemDirectoryA or GetWindowsDirectoryA failed
  kSetupPathTooLong,        // a path would not fit in MAX_PATH; FailedItem() is its start
  kSetupSourceMissing,      // a file of the media is missing; FailedItem() is its path
  kSetupCopyFailed,         // a file could not be written; FailedItem() is the destination
  kSetupRegistryFailed,     // a key or value could not be written; FailedItem() is the key
  kSetupHelperFailed,       // oslnkin.dll would not load or has no AddMonitor32; FailedItem() is its path
  kSetupMonitorFailed,      // AddMonitor32 refused the monitor; FailedItem() is the monitor's name
};

class ProductSetup {
 public:
  static const int kPathSize = MAX_PATH;
  static const int kFileCount = 4;  // three files in the system directory and the INF copy

  // `sourceFolder`: the folder of the installation media (with or without a trailing separator).
  explicit ProductSetup(const char* sourceFolder);
  ProductSetup(const ProductSetup&) = delete;
  ProductSetup& operator=(const ProductSetup&) = delete;

  SetupResult Install();

  // After a failure: the path, key or name concerned, and the platform's error code (0 when none applies).
  const char* FailedItem() const { return failedItem_; }
  DWORD FailedError() const { return failedError_; }
  // After success: the files written, in order.
  int InstalledFileCount() const { return copiedCount_; }
  const char* InstalledFile(int index) const { return copied_[index]; }

 private:
  SetupResult Fail(SetupResult result, const char* item, DWORD error);
  SetupResult CopyPackageFile(const char* sourceName, const char* destinationFolder, const char* destinationName);
  SetupResult WriteClassKeys();
  SetupResult AddMonitor();
  void RollBack();

  char source_[kPathSize];
  char systemDirectory_[kPathSize];
  char windowsDirectory_[kPathSize];
  char copied_[kFileCount][kPathSize];
  char kept_[kFileCount][kPathSize];  // the earlier file's copy, "" when there was none
  int copiedCount_;
  bool classKeyCreated_;
  char failedItem_[kPathSize];
  DWORD failedError_;
};

// The message for `result` of `setup`'s last Install (Japanese, code page 932) in `text` of `size` bytes,
// cut short where it would not fit.
void ComposeSetupMessage(const ProductSetup& setup, SetupResult result, char* text, int size);

// Text operations of the setup (no C library): the length of `text`, and `text` appended to the terminated
// `destination` of `size` bytes; false, with `destination` unchanged, when it would not fit.
int SetupTextLength(const char* text);
bool SetupAppend(char* destination, int size, const char* text);
// `value` in decimal appended as by SetupAppend.
bool SetupAppendNumber(char* destination, int size, DWORD value);

#endif
