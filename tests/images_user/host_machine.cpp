#include "host_machine.h"

#include <atomic>
#include <unistd.h>

namespace images {

const std::vector<std::string> HostMachine::kFiles = {
    "C:\\WINDOWS\\INF\\OTHER\\DODOZEREDID.INF", "C:\\WINDOWS\\SYSTEM\\dudirar.dll",
    "C:\\WINDOWS\\SYSTEM\\oslnkin.dll",         "C:\\WINDOWS\\SYSTEM\\reveror.dll",
    "C:\\WINDOWS\\SYSTEM\\oslnk.sys"};

namespace {
std::filesystem::path FreshFolder() {
  static std::atomic<int> counter{0};
  const auto path = std::filesystem::temp_directory_path() /
                    ("oslnk-user-programs-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path);
  return path;
}
}  // namespace

HostMachine::HostMachine(const std::vector<std::string>& answers)
    : root_(FreshFolder()), disk_(std::make_unique<w98::Disk>(root_)), ui_(answers) {
  disk_->createDirectories("C:\\WINDOWS\\SYSTEM");
  disk_->createDirectories("C:\\WINDOWS\\INF\\OTHER");
  registry_.createKey(kPorts);
  registry_.createKey("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors");
  registry_.createKey("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class");
  registry_.createKey("HKEY_LOCAL_MACHINE\\Enum\\Root");
  session_ = std::make_unique<w98::UserSession>(registry_, *disk_, ui_);
}

HostMachine::~HostMachine() {
  session_.reset();
  disk_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void HostMachine::InstallProduct() {
  for (const std::string& f : kFiles) disk_->writeFile(f, "placeholder");
  for (const char* port : {"KVUSB1", "KVUSB2", "LPT1"}) registry_.createKey(std::string(kPorts) + "\\" + port);
  registry_.createKey(std::string(kClass) + "\\0000");
  registry_.createKey(std::string(kUsbDevice) + "\\5&1A2B3C4D&0&1");
  registry_.createKey(std::string(kRootDevice) + "\\0000");
  session_->spooler().addMonitor(nullptr, 2, "Molvex USB Cable Port Monitor", "Windows 4.0", "reveror.dll");
}

}  // namespace images
