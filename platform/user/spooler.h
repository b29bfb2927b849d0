// The print spooler of the machine: its port monitors and ports, kept in the registry where Windows 98 keeps
// them. Every monitor call is logged with its arguments as they arrived (null stays null).
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"

namespace w98 {

class Spooler {
 public:
  static constexpr const char* kMonitorsKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors";
  static constexpr const char* kPortsKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Ports";
  static constexpr const char* kEnvironment = "Windows 4.0";
  // Win32 error codes of the monitor calls.
  static constexpr uint32_t kOk = 0, kInvalidParameter = 87, kInvalidName = 123, kInvalidLevel = 124,
                            kInvalidEnvironment = 1805, kUnknownMonitor = 3000, kMonitorAlreadyInstalled = 3006,
                            kMonitorInUse = 3008;

  struct Call {
    std::string op;  // "AddMonitor" or "DeleteMonitor"
    std::optional<std::string> server, environment, monitor, dll;
    uint32_t level = 0;
    uint32_t error = 0;  // what the call set as the last error (0 on success)
  };

  explicit Spooler(Registry& registry);

  // AddMonitorA, level 2: the monitor's key with its "Driver" value. Returns an error code.
  uint32_t addMonitor(const char* server, uint32_t level, const char* name, const char* environment, const char* dll);
  // DeleteMonitorA. Returns an error code (kUnknownMonitor for a monitor that is not installed).
  uint32_t deleteMonitor(const char* server, const char* environment, const char* name);

  // A monitor in use (one of its ports printing) cannot be deleted: DeleteMonitorA fails with kMonitorInUse.
  void setMonitorInUse(std::string_view name, bool inUse);

  std::vector<std::string> monitors() const;
  std::optional<std::string> monitorDll(std::string_view name) const;

  // Ports: one key per port under kPortsKey, for the port monitors. False for an empty name or one with '\'.
  bool addPort(std::string_view port);
  bool deletePort(std::string_view port);
  std::vector<std::string> ports() const;

  std::vector<Call> calls() const;

 private:
  static std::optional<std::string> copy(const char* s) { return s ? std::optional<std::string>(s) : std::nullopt; }
  uint32_t checkServerAndEnvironment(const char* server, const char* environment) const;

  Registry& registry_;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::vector<std::string> inUse_;  // folded names
};

}  // namespace w98
