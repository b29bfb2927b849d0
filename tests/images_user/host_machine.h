// A bare user-mode machine for running the host builds of the programs: registry, C: drive in a temporary
// folder, spooler and a scripted screen, as one current w98::UserSession.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "user/disk.h"
#include "user/session.h"
#include "user/user_interface.h"

namespace images {

class HostMachine {
 public:
  explicit HostMachine(const std::vector<std::string>& answers);
  ~HostMachine();
  HostMachine(const HostMachine&) = delete;
  HostMachine& operator=(const HostMachine&) = delete;

  // What the product's installer leaves behind: its files, keys, spooler ports and monitor.
  void InstallProduct();

  w98::Registry& registry() { return registry_; }
  w98::Disk& disk() { return *disk_; }
  w98::UserInterface& ui() { return ui_; }
  w98::UserSession& session() { return *session_; }

  static constexpr const char* kPorts = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Ports";
  static constexpr const char* kMonitor =
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\Molvex USB Cable Port Monitor";
  static constexpr const char* kClass = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC";
  static constexpr const char* kUsbDevice = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002";
  static constexpr const char* kRootDevice = "HKEY_LOCAL_MACHINE\\Enum\\Root\\KVUSBCable";
  static const std::vector<std::string> kFiles;  // the five installed files, in the order they are removed

 private:
  std::filesystem::path root_;
  w98::Registry registry_;
  std::unique_ptr<w98::Disk> disk_;
  w98::UserInterface ui_;
  std::unique_ptr<w98::UserSession> session_;
};

}  // namespace images
