#include "user/session.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "user/profile.h"
#include "user/session_internal.h"

namespace w98 {

namespace {
std::atomic<UserSession*> g_current{nullptr};
}

UserSession::UserSession(Registry& registry, Disk& disk, UserInterface& ui)
    : UserSession(registry, disk, ui, Options{}) {}

UserSession::UserSession(Registry& registry, Disk& disk, UserInterface& ui, Options options)
    : registry_(registry),
      disk_(disk),
      ui_(ui),
      options_(std::move(options)),
      spooler_(registry),
      impl_(std::make_unique<Impl>()) {
  UserSession* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "w98::UserSession: a second session was created while another is current\n");
    std::abort();
  }
}

UserSession::~UserSession() { g_current.store(nullptr); }

UserSession& UserSession::current() {
  UserSession* s = g_current.load();
  if (!s) {
    std::fprintf(stderr, "w98: a Win32 function was called with no current UserSession\n");
    std::abort();
  }
  return *s;
}

bool UserSession::active() { return g_current.load() != nullptr; }

void UserSession::registerDialog(int id, DialogTemplate t) { dialogsById_[id] = std::move(t); }

void UserSession::registerLibrary(const std::string& fileName, std::filesystem::path hostLibrary) {
  std::string k = fileName;
  for (char& c : k) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  libraries_[k] = std::move(hostLibrary);
}

const std::filesystem::path* UserSession::hostLibrary(const std::string& fileName) const {
  std::string k = fileName;
  for (char& c : k) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto it = libraries_.find(k);
  return it == libraries_.end() ? nullptr : &it->second;
}

void UserSession::registerDialog(const std::string& name, DialogTemplate t) {
  std::string k = name;
  for (char& c : k) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  dialogsByName_[k] = std::move(t);
}

const DialogTemplate* UserSession::dialogTemplate(int id) const {
  auto it = dialogsById_.find(id);
  return it == dialogsById_.end() ? nullptr : &it->second;
}

const DialogTemplate* UserSession::dialogTemplate(const std::string& name) const {
  std::string k = name;
  for (char& c : k) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto it = dialogsByName_.find(k);
  return it == dialogsByName_.end() ? nullptr : &it->second;
}

bool UserSession::restartRequested() const {
  for (const auto& r : exitRequests_) {
    if (r.flags & EWX_REBOOT) return true;
  }
  return false;
}

size_t UserSession::openKeyHandles() const {
  std::lock_guard lock(impl_->keyMutex);
  return impl_->keys.size();
}

size_t UserSession::openWindows() const { return impl_->windows.size(); }

std::string predefinedRootPath(HKEY key) {
  switch (reinterpret_cast<uintptr_t>(key)) {
    case 0x80000000: return "HKEY_CLASSES_ROOT";
    case 0x80000001: return "HKEY_CURRENT_USER";
    case 0x80000002: return "HKEY_LOCAL_MACHINE";
    case 0x80000003: return "HKEY_USERS";
    case 0x80000005: return "HKEY_CURRENT_CONFIG";
    case 0x80000006: return "HKEY_DYN_DATA";
    default: return {};
  }
}

WininitResult runWininit(Disk& disk, const std::string& windowsDirectory) {
  WininitResult result;
  const std::string ini = windowsDirectory + "\\WININIT.INI";
  auto text = disk.readFile(ini);
  if (!text) return result;
  result.ran = true;
  IniFile file(*text);
  for (const auto& entry : file.entries("rename")) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      result.failed.push_back("bad line \"" + entry + "\"");
      continue;
    }
    auto strip = [](std::string s) {
      while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
      size_t b = s.find_first_not_of(" \t");
      return b == std::string::npos ? std::string() : s.substr(b);
    };
    const std::string dest = strip(entry.substr(0, eq));
    const std::string source = strip(entry.substr(eq + 1));
    bool isNul = dest.size() == 3 && (dest[0] == 'N' || dest[0] == 'n') && (dest[1] == 'U' || dest[1] == 'u') &&
                 (dest[2] == 'L' || dest[2] == 'l');
    // Nothing else runs yet at this point of the boot: no file is in use.
    disk.setInUse(source, false);
    if (isNul) {
      uint32_t err = disk.deleteFile(source);
      if (err == Disk::kAccessDenied) {
        disk.setAttributes(source, Disk::kNormal);
        err = disk.deleteFile(source);
      }
      (err == Disk::kOk ? result.done : result.failed)
          .push_back("delete " + source + (err == Disk::kOk ? "" : " (error " + std::to_string(err) + ")"));
    } else {
      disk.setInUse(dest, false);
      uint32_t err = disk.moveFile(source, dest, true);
      (err == Disk::kOk ? result.done : result.failed)
          .push_back("move " + source + " -> " + dest + (err == Disk::kOk ? "" : " (error " + std::to_string(err) + ")"));
    }
  }
  disk.moveFile(ini, windowsDirectory + "\\WININIT.BAK", true);
  return result;
}

}  // namespace w98
