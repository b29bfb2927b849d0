// The product's installer, reduced to what gives the removal program something real to take away: the files in
// the system and INF folders, the device class key with its driver key, the root device key, and the port monitor
// registered with the spooler through the install helper oslnkin (loaded at run time, as an installer would).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace w98 {
class Registry;
class Disk;
}  // namespace w98

namespace ostrolink {

inline constexpr char kMonitorName[] = "Molvex USB Cable Port Monitor";
inline constexpr char kMonitorEnvironment[] = "Windows 4.0";
inline constexpr char kMonitorLibrary[] = "reveror.dll";
inline constexpr char kClassKey[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC";
inline constexpr char kRootDeviceKey[] = "HKEY_LOCAL_MACHINE\\Enum\\Root\\KVUSBCable";
inline constexpr char kSystemDir[] = "C:\\WINDOWS\\SYSTEM";
inline constexpr char kInfPath[] = "C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF";

struct InstallReport {
  std::vector<std::string> files;  // DOS paths written
  std::vector<std::string> keys;   // registry keys created
  bool monitorAdded = false;
  uint32_t monitorError = 0;       // GetLastError after a failed AddMonitor32
  std::string monitorNote;         // why the monitor could not be added, when it could not
};

// Installs onto the machine whose registry and disk are given. The monitor goes through the oslnkin library at
// `helperLibrary` (dlopen + AddMonitor32); an empty path leaves the monitor out and says so in the report.
// Throws std::runtime_error when a file cannot be written.
InstallReport installProduct(w98::Registry& registry, w98::Disk& disk, const std::filesystem::path& helperLibrary);

// The host path of the oslnkin library built next to the tool, or empty when it cannot be found.
std::filesystem::path findHelperLibrary();

}  // namespace ostrolink
