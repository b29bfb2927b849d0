// The removal steps of oslnkun: the operations that take the product off a Windows 98 machine, and the four
// byte-string operations they are built from. The removal dialog derives from this class and runs the steps
// on its own thread. Written against the ANSI Win32 calls, so the same source builds for Windows and for the
// host's emulated machine.
#ifndef OSLNKUN_REMOVAL_STEPS_H
#define OSLNKUN_REMOVAL_STEPS_H

#include <windows.h>

class RemovalSteps {
 public:
  // `owner` owns the message boxes of RemoveFiles (may be set later, once the dialog's window exists).
  explicit RemovalSteps(HWND owner);
  // Not virtual: nothing is deleted through this class, and a virtual destructor would pull the C++
  // runtime's operator delete into the Windows image.
  ~RemovalSteps();
  RemovalSteps(const RemovalSteps&) = delete;
  RemovalSteps& operator=(const RemovalSteps&) = delete;

  void SetOwnerWindow(HWND owner) { owner_ = owner; }
  HWND OwnerWindow() const { return owner_; }

  // Deletes the root-enumerated device key of the cable. 0 when every row of its table was handled; -1 for a
  // bad root code or a parent key that would not open.
  virtual int RemoveRootDeviceKey();
  // Drops the port monitor through the spooler, then deletes the cable's spooler ports, its class key, its USB
  // device keys and the monitor's key. 0 at the end; -1 when the Enum key or the monitors key would not open.
  virtual int RemoveRegistryEntries();
  // Deletes the setup information file, the two libraries, the monitor library and the driver; a file that
  // may not be deleted (not a missing one) is reported in a message box, except the monitor library.
  virtual void RemoveFiles();
  // Copies exactly `count` bytes, terminators included, and writes no terminator of its own.
  virtual void CopyChars(char* destination, const char* source, int count);
  // Copies `text` behind the end of the terminated `destination`, terminating after each byte. Unbounded: the
  // steps build their paths with the bounded user_kit::Text instead.
  virtual void AppendString(char* destination, const char* text);
  // Sets `count` bytes to the low 8 bits of `value`.
  virtual void FillBytes(void* buffer, int value, int count);
  // 0 when `name` begins with `prefix` (case-sensitive), 1 at the first difference.
  virtual int ComparePrefix(const char* prefix, const char* name);
  // Enters the monitor library into section [rename] of wininit.ini, so that Windows deletes it when it next
  // starts, keeping other programs' entries. The result of the final profile write (non-zero: written).
  virtual int ScheduleMonitorDllRemoval();

  // Whether a platform error from a deletion means that access was refused (as opposed to a missing file).
  static bool IsAccessRefused(DWORD error);

 protected:
  // Deletes `subkey` of `parent` with everything below it, also where RegDeleteKeyA refuses a key that has
  // subkeys (Windows NT). The last RegDeleteKeyA result.
  LONG DeleteKeyTree(HKEY parent, const char* subkey, int depth = 0);

 private:
  HWND owner_;
};

#endif
