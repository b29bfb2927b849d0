#include "installer.h"

#include <dlfcn.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include <windows.h>
#include <winspool.h>

#include "oslnk_names.h"
#include "registry/registry.h"
#include "user/disk.h"

namespace ostrolink {

namespace {

// What the installer copies. The images themselves are built for Windows; the simulated machine only needs files
// that are there to be found and deleted.
struct InstalledFile {
  const char* path;
  const char* content;
};
const InstalledFile kFiles[] = {
    {"C:\\WINDOWS\\SYSTEM\\oslnk.sys", "MZ oslnk.sys: Ostrolink cable driver (placeholder image)\r\n"},
    {"C:\\WINDOWS\\SYSTEM\\oslnkin.dll", "MZ oslnkin.dll: port monitor install helper (placeholder image)\r\n"},
    {"C:\\WINDOWS\\SYSTEM\\reveror.dll", "MZ reveror.dll: Molvex USB Cable Port Monitor (placeholder image)\r\n"},
    {"C:\\WINDOWS\\SYSTEM\\dudirar.dll", "MZ dudirar.dll: installer support library (placeholder image)\r\n"},
    {kInfPath,
     "; DODOZEREDID.INF - Ostrolink USB-to-parallel cable\r\n"
     "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=USBQXC\r\nProvider=%Molvex%\r\n\r\n"
     "[Manufacturer]\r\n%Molvex%=Molvex\r\n\r\n"
     "[Molvex]\r\n%Cable%=OSLNK.Install,USB\\VID_0F1B&PID_1002\r\n\r\n"
     "[OSLNK.Install]\r\nCopyFiles=OSLNK.Files\r\nAddReg=OSLNK.AddReg\r\n\r\n"
     "[OSLNK.AddReg]\r\nHKR,,DevLoader,,*ntkern\r\nHKR,,NTMPDriver,,oslnk.sys\r\n"
     "HKR,,MaxTransferSize,0x10001,1024\r\nHKR,,IFSetting,0x10001,2\r\nHKR,,AltSetting,0x10001,0\r\n\r\n"
     "[Strings]\r\nMolvex=\"Molvex\"\r\nCable=\"Ostrolink USB Cable\"\r\n"},
};

using AddMonitor32Fn = BOOL(WINAPI*)(LPSTR, DWORD, LPBYTE);

struct LibraryCloser {
  void operator()(void* handle) const {
    if (handle) dlclose(handle);
  }
};

}  // namespace

InstallReport installProduct(w98::Registry& registry, w98::Disk& disk, const std::filesystem::path& helperLibrary) {
  InstallReport report;
  for (const auto& f : kFiles) {
    if (!disk.writeFile(f.path, f.content)) throw std::runtime_error(std::string("install: cannot write ") + f.path);
    report.files.push_back(f.path);
  }

  auto createKey = [&](const std::string& path) {
    if (!registry.createKey(path)) throw std::runtime_error("install: cannot create key " + path);
    report.keys.push_back(path);
  };
  // The device class with the cable's driver key, holding the driver's parameters at their defaults.
  const std::string classKey = kClassKey;
  createKey(classKey);
  registry.setString(classKey, "", "Ostrolink USB Cable");
  registry.setString(classKey, "Class", "USBQXC");
  const std::string driverKey = classKey + "\\0000";
  createKey(driverKey);
  registry.setString(driverKey, "DriverDesc", "Ostrolink USB Cable");
  registry.setString(driverKey, "DevLoader", "*ntkern");
  registry.setString(driverKey, "NTMPDriver", "oslnk.sys");
  registry.setDword(driverKey, OSLNK_VALUE_MAX_TRANSFER_SIZE, OSLNK_DEFAULT_MAX_TRANSFER_SIZE);
  registry.setDword(driverKey, OSLNK_VALUE_IF_SETTING, OSLNK_DEFAULT_IF_SETTING);
  registry.setDword(driverKey, OSLNK_VALUE_ALT_SETTING, OSLNK_DEFAULT_ALT_SETTING);
  // The root-enumerated device the installer leaves behind.
  const std::string rootInstance = std::string(kRootDeviceKey) + "\\0000";
  createKey(rootInstance);
  registry.setString(rootInstance, "DeviceDesc", "Ostrolink USB Cable");
  registry.setString(rootInstance, "Class", "USBQXC");
  registry.setString(rootInstance, "HardwareID", "KVUSBCable");

  if (helperLibrary.empty()) {
    report.monitorNote = "the install helper oslnkin was not found";
    return report;
  }
  std::unique_ptr<void, LibraryCloser> lib(dlopen(helperLibrary.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!lib) {
    const char* why = dlerror();
    report.monitorNote = std::string("cannot load ") + helperLibrary.string() + ": " + (why ? why : "unknown error");
    return report;
  }
  auto add = reinterpret_cast<AddMonitor32Fn>(dlsym(lib.get(), "AddMonitor32"));
  if (!add) {
    report.monitorNote = helperLibrary.string() + " has no AddMonitor32";
    return report;
  }
  std::string name = kMonitorName, environment = kMonitorEnvironment, library = kMonitorLibrary;
  MONITOR_INFO_2A info{};
  info.pName = name.data();
  info.pEnvironment = environment.data();
  info.pDLLName = library.data();
  SetLastError(0);
  if (add(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
    report.monitorAdded = true;
  } else {
    report.monitorError = GetLastError();
    report.monitorNote = "AddMonitor32 failed";
  }
  return report;
}

std::filesystem::path findHelperLibrary() {
  if (const char* env = getenv("OSTROLINK_OSLNKIN")) return env;
#ifdef OSTROLINK_OSLNKIN_PATH
  std::filesystem::path built = OSTROLINK_OSLNKIN_PATH;
  if (std::filesystem::exists(built)) return built;
#endif
  // Next to the running program (an installed tree).
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (auto dir = self.parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
      auto candidate = dir / "monitor_helper" / "oslnkin.so";
      if (std::filesystem::exists(candidate)) return candidate;
      candidate = dir / "oslnkin.so";
      if (std::filesystem::exists(candidate)) return candidate;
    }
  }
  return {};
}

}  // namespace ostrolink
