// The user-mode side of one simulated machine: the registry, the C: drive, the spooler and the screen that
// the Win32 functions of <windows.h> and <winspool.h> act on. At most one session is current at a time
// (set by the constructor, cleared by the destructor), as at most one kernel is.
//
// This header does not include <windows.h>, so that machine code may include it beside the kernel's headers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "user/disk.h"
#include "user/spooler.h"
#include "user/user_interface.h"

namespace w98 {

// A dialog resource, as a resource compiler would have built it from the program's resource script.
struct DialogTemplate {
  enum class ControlKind { Button, Edit, Static };
  struct Control {
    int id = 0;
    ControlKind kind = ControlKind::Static;
    std::string text;  // ANSI (code page 932)
    uint32_t style = 0;
    int x = 0, y = 0, width = 0, height = 0;  // dialog units
  };
  std::string caption;  // ANSI (code page 932)
  uint32_t style = 0, exStyle = 0;
  int width = 0, height = 0;  // dialog units
  std::vector<Control> controls;
};

// The machine's devices as CreateFileA("\\.\NAME") and the I/O on such a handle reach them; the machine gives
// the kernel's side. Waits are on the machine's virtual clock, by participants of its kernel.
class DeviceFiles {
 public:
  struct Result {
    int32_t status = 0;        // NTSTATUS
    uint64_t information = 0;  // bytes transferred; the handle, for open
  };
  class Operation {
   public:
    virtual ~Operation() = default;
    virtual bool completed() = 0;
    // The result once the request has completed; nullopt when `timeout` (100-ns units of virtual time; negative:
    // none) passed first.
    virtual std::optional<Result> wait(int64_t timeout) = 0;
    virtual void cancel() = 0;
  };
  virtual ~DeviceFiles() = default;
  virtual Result open(const std::string& path) = 0;
  virtual int32_t close(uint64_t handle) = 0;
  // The buffers must stay alive until the operation has completed.
  virtual std::shared_ptr<Operation> write(uint64_t handle, const void* data, uint32_t length) = 0;
  virtual std::shared_ptr<Operation> read(uint64_t handle, void* data, uint32_t length) = 0;
  virtual std::shared_ptr<Operation> control(uint64_t handle, uint32_t code, const void* input, uint32_t inputLength,
                                             void* output, uint32_t outputLength) = 0;
};

// The NTSTATUS of the last device request this thread finished through the Win32 layer (Windows NT keeps it
// in the thread's environment block as LastStatusValue), for host callers that report NTSTATUS values.
int32_t lastDeviceStatus();

class UserSession {
 public:
  struct Options {
    // The machine's devices; null: CreateFileA of a device fails with ERROR_FILE_NOT_FOUND.
    DeviceFiles* devices = nullptr;
    std::string windowsDirectory = "C:\\WINDOWS";
    // nullopt: GetSystemDirectoryA fails (returns 0).
    std::optional<std::string> systemDirectory = std::string("C:\\WINDOWS\\SYSTEM");
    // Windows 98 deletes a key with everything below it; false refuses keys with subkeys (ERROR_ACCESS_DENIED),
    // as Windows NT does.
    bool recursiveKeyDelete = true;
    // Keys that RegDeleteKeyA refuses with ERROR_ACCESS_DENIED, as they or a key below them were held by
    // another program (full paths, any spelling).
    std::vector<std::string> lockedKeys;
  };
  struct ExitRequest {
    uint32_t flags = 0;
    uint32_t reason = 0;
  };
  struct IconDraw {
    int x = 0, y = 0;
    uintptr_t icon = 0;
  };

  UserSession(Registry& registry, Disk& disk, UserInterface& ui);
  UserSession(Registry& registry, Disk& disk, UserInterface& ui, Options options);
  ~UserSession();
  UserSession(const UserSession&) = delete;
  UserSession& operator=(const UserSession&) = delete;

  // The current session; aborts with a message when there is none (a Win32 call outside a machine).
  static UserSession& current();
  static bool active();

  Registry& registry() { return registry_; }
  Disk& disk() { return disk_; }
  Spooler& spooler() { return spooler_; }
  UserInterface& ui() { return ui_; }
  Options& options() { return options_; }

  // Dialog resources of the running program, by id (MAKEINTRESOURCE) or by name.
  void registerDialog(int id, DialogTemplate t);
  void registerDialog(const std::string& name, DialogTemplate t);
  const DialogTemplate* dialogTemplate(int id) const;
  const DialogTemplate* dialogTemplate(const std::string& name) const;

  // Libraries that LoadLibraryA can load: a file of that name (any folder, any case) on the C: drive loads
  // the host library given here, as Windows would map the image.
  void registerLibrary(const std::string& fileName, std::filesystem::path hostLibrary);
  const std::filesystem::path* hostLibrary(const std::string& fileName) const;

  // What the programs asked of Windows.
  const std::vector<ExitRequest>& exitRequests() const { return exitRequests_; }
  bool restartRequested() const;
  int profileFlushes() const { return profileFlushes_; }
  const std::vector<IconDraw>& iconDraws() const { return iconDraws_; }
  size_t openKeyHandles() const;
  size_t openWindows() const;

  // The Win32 layer's own state (handle tables, windows); not for other callers.
  struct Impl;
  Impl& impl() { return *impl_; }
  void recordExit(ExitRequest r) { exitRequests_.push_back(r); }
  void recordFlush() { ++profileFlushes_; }
  void recordIconDraw(IconDraw d) { iconDraws_.push_back(d); }

 private:
  Registry& registry_;
  Disk& disk_;
  UserInterface& ui_;
  Options options_;
  Spooler spooler_;
  std::map<int, DialogTemplate> dialogsById_;
  std::map<std::string, DialogTemplate> dialogsByName_;
  std::map<std::string, std::filesystem::path> libraries_;  // folded file name -> host library
  std::vector<ExitRequest> exitRequests_;
  std::vector<IconDraw> iconDraws_;
  int profileFlushes_ = 0;
  std::unique_ptr<Impl> impl_;
};

// Boot: carries out section [rename] of wininit.ini in the Windows directory (NUL=path deletes the file,
// destination=source moves it over the destination), then renames wininit.ini to wininit.bak, as Windows 98
// does before anything else starts. Nothing happens when there is no wininit.ini.
struct WininitResult {
  bool ran = false;
  std::vector<std::string> done;    // "delete C:\..." / "move C:\... -> C:\..."
  std::vector<std::string> failed;  // the same with the reason
};
WininitResult runWininit(Disk& disk, const std::string& windowsDirectory = "C:\\WINDOWS");

}  // namespace w98
