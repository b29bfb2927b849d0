// `ostrolink install`: the package's setup (setup/product_setup, the code of oslnkset.exe) run on the simulated
// machine. The installation media is put in a folder of the machine first (the driver's INF as built, images
// that stand for the Windows ones), and the monitor install helper oslnkin.dll loads the host build of oslnkin
// (registered with the machine's LoadLibraryA), which adds the monitor through the machine's spooler.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace w98 {
class UserSession;
}  // namespace w98

namespace ostrolink {

inline constexpr char kMonitorName[] = "Molvex USB Cable Port Monitor";
inline constexpr char kMonitorEnvironment[] = "Windows 4.0";
inline constexpr char kMonitorLibrary[] = "reveror.dll";
inline constexpr char kClassKey[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC";
inline constexpr char kRootDeviceKey[] = "HKEY_LOCAL_MACHINE\\Enum\\Root\\KVUSBCable";
inline constexpr char kSystemDir[] = "C:\\WINDOWS\\SYSTEM";
inline constexpr char kInfPath[] = "C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF";
// Where the installation media is put on the machine while setup runs (removed afterwards).
inline constexpr char kMediaFolder[] = "C:\\WINDOWS\\TEMP\\OSTROLINK";

struct InstallReport {
  bool installed = false;
  std::vector<std::string> files;  // DOS paths written
  std::vector<std::string> keys;   // registry keys written
  bool monitorAdded = false;
  uint32_t error = 0;              // the platform error of a failed setup, 0 when none applies
  std::string failedItem;          // the path, key or name a failed setup names
  std::string message;             // the setup program's message (UTF-8), on success or failure
};

// Runs the package's setup in `session` (the machine's, current). The helper library at `helperLibrary` is what
// LoadLibraryA of oslnkin.dll loads; empty leaves it unregistered, and setup then fails as it would without it.
// A failed setup has undone all it did; the report says why.
InstallReport installProduct(w98::UserSession& session, const std::filesystem::path& helperLibrary);

// The host path of the oslnkin library built next to the tool, or empty when it cannot be found.
std::filesystem::path findHelperLibrary();

}  // namespace ostrolink
