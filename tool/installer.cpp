#include "installer.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "package.h"
#include "package_inf.h"
#include "product_setup.h"
#include "user/codepage.h"
#include "user/session.h"

namespace ostrolink {

namespace {

// The installation media. The Windows images are not run on this machine; files that stand for them are enough
// to be copied, found and deleted, and oslnkin.dll's code is the host library registered for its name.
struct MediaFile {
  const char* name;
  const char* content;
};
const MediaFile kMedia[] = {
    {OSLNK_PACKAGE_DRIVER_FILE, "MZ oslnk.sys: Ostrolink cable driver (stands for the Windows image)\r\n"},
    {OSLNK_PACKAGE_HELPER_FILE, "MZ oslnkin.dll: port monitor install helper (stands for the Windows image)\r\n"},
    {OSLNK_PACKAGE_MONITOR_FILE, "MZ reveror.dll: Molvex USB Cable Port Monitor (stands for the Windows image)\r\n"},
    {OSLNK_PACKAGE_INF_FILE, kPackageInfText},
};

std::string mediaPath(const char* name) { return std::string(kMediaFolder) + "\\" + name; }

}  // namespace

InstallReport installProduct(w98::UserSession& session, const std::filesystem::path& helperLibrary) {
  InstallReport report;
  auto& disk = session.disk();
  for (const auto& f : kMedia) {
    if (!disk.writeFile(mediaPath(f.name), f.content)) {
      report.failedItem = mediaPath(f.name);
      report.message = "cannot put the installation media on the machine: " + report.failedItem;
      for (const auto& g : kMedia) disk.deleteFile(mediaPath(g.name));
      return report;
    }
  }
  if (!helperLibrary.empty()) session.registerLibrary(OSLNK_PACKAGE_HELPER_FILE, helperLibrary);

  ProductSetup setup(kMediaFolder);
  const SetupResult result = setup.Install();
  std::vector<char> text(ProductSetup::kMessageSize);
  ComposeSetupMessage(setup, result, text.data(), static_cast<int>(text.size()));
  report.message = w98::cp932ToUtf8(text.data());
  for (const auto& f : kMedia) disk.deleteFile(mediaPath(f.name));
  if (result != kSetupDone) {
    report.error = setup.FailedError();
    report.failedItem = setup.FailedItem();
    if (helperLibrary.empty() && result == kSetupHelperFailed)
      report.message += "\n(the host build of oslnkin was not found)";
    return report;
  }
  report.installed = true;
  report.monitorAdded = true;
  for (int i = 0; i < setup.InstalledFileCount(); ++i) report.files.push_back(setup.InstalledFile(i));
  const std::string hklm = "HKEY_LOCAL_MACHINE\\";
  report.keys = {hklm + OSLNK_PACKAGE_CLASS_KEY, hklm + OSLNK_PACKAGE_DRIVER_KEY,
                 hklm + "System\\CurrentControlSet\\Control\\Print\\Monitors\\" + OSLNK_PACKAGE_MONITOR_NAME};
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
