// The Win32 layer's state inside a UserSession: open key handles and windows.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "user/session.h"

namespace w98 {

struct UserSession::Impl {
  std::mutex keyMutex;
  std::map<uintptr_t, std::string> keys;  // open HKEY -> full registry path
  uintptr_t nextKey = 0x1000;

  struct Window {
    uintptr_t parent = 0;
    bool isDialog = false;
    int id = 0;
    DialogTemplate::ControlKind kind = DialogTemplate::ControlKind::Static;
    std::string text;  // ANSI
    uint32_t style = 0;
    int x = 0, y = 0, width = 0, height = 0;  // dialog units
    uintptr_t bigIcon = 0, smallIcon = 0;
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    bool iconic = false;
    int defId = IDOK;
    std::vector<uintptr_t> children;
  };
  // Device handles and events (device_io.cpp). A request started with an OVERLAPPED is found again by it.
  struct Pending {
    std::shared_ptr<DeviceFiles::Operation> operation;
    std::optional<DeviceFiles::Result> result;  // once taken
  };
  struct File {
    uint64_t device = 0;
    std::map<const void*, std::shared_ptr<Pending>> pending;  // by OVERLAPPED
  };
  struct Event {
    bool manualReset = true;
    bool signaled = false;
    std::shared_ptr<Pending> request;  // the overlapped request that signals it when done
  };
  std::mutex objectMutex;
  std::map<uintptr_t, File> files;
  std::map<uintptr_t, Event> events;
  uintptr_t nextObject = 0x40000000;

  std::map<uintptr_t, Window> windows;
  uintptr_t nextWindow = 0x10000;
  uintptr_t focus = 0;

  Window* window(HWND h) {
    auto it = windows.find(reinterpret_cast<uintptr_t>(h));
    return it == windows.end() ? nullptr : &it->second;
  }
};

// Helpers shared by the Win32 files.
std::string predefinedRootPath(HKEY key);  // "" when not a predefined root of this registry

}  // namespace w98
