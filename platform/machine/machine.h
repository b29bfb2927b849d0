// One simulated Windows 98 computer: its registry, C: drive, spooler and screen (user mode), the kernel with the
// driver oslnk registered for the cable's hardware id, and the USB bus into which simulated cables are plugged.
//
// A machine lives in a folder: registry.reg (the registry, REGEDIT4) and C\ (the C: drive). A folder without
// registry.reg gets a fresh machine with the default keys and folders of Windows 98 that the product touches.
// Constructing a Machine is one boot: wininit.ini's [rename] section is carried out before anything else starts.
// Devices never outlive a boot; the registry and the files do (save() writes the registry back).
//
// The thread that constructs the machine becomes a participant of the kernel's clock; other threads that call
// into the machine must be started with kernel().spawn().
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "registry/registry.h"
#include "sim/cable.h"
#include "usb/usb_bus.h"
#include "user/disk.h"
#include "user/session.h"
#include "user/user_interface.h"

namespace w98 {

inline constexpr char kCableHardwareId[] = "USB\\VID_0F1B&PID_1002";
inline constexpr uint32_t kDriverPoolTag = 0x206B6444;  // 'Ddk '

struct CableOptions {
  sim::CableConfig cable;
  sim::PrinterConfig printer;
  PortOptions port;
};

// What became of one plugged cable.
struct PluggedCable {
  int number = 0;     // the machine's own numbering: 1, 2, ... in the order of plugging, never reused in a boot
  int bus = 0;        // which host controller's bus (0, 1)
  int port = 0;       // the port on that bus
  bool present = false;
  std::unique_ptr<sim::Cable> cable;
};

class Machine {
 public:
  // Opens the machine in `folder` (created when missing). Throws std::runtime_error when the folder cannot be
  // used or its registry file is bad (the message names the file and line).
  explicit Machine(std::filesystem::path folder);
  // Devices are taken out, the kernel stopped. The registry is not saved: call save().
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path registryFile() const { return folder_ / "registry.reg"; }
  std::filesystem::path driveFolder() const { return folder_ / "C"; }

  Registry& registry() { return *registry_; }
  Disk& disk() { return *disk_; }
  UserSession& user() { return *session_; }
  Spooler& spooler() { return session_->spooler(); }
  Kernel& kernel() { return *kernel_; }
  // The USB bus of the first host controller. A bus carries at most kDevicesPerBus devices (addresses 2 to
  // 127; the root hub has 1), so the machine has a second host controller for the cables beyond that.
  UsbBus& usb() { return *buses_.at(0); }
  UsbBus& usb(int bus) { return *buses_.at(static_cast<size_t>(bus)); }
  size_t busCount() const { return buses_.size(); }
  static constexpr int kDevicesPerBus = 126;
  static constexpr int kHostControllers = 2;

  // Writes the registry to registry.reg (replacing it whole, never half-written). Throws std::runtime_error.
  void save();
  // Shuts Windows down: every device goes and the kernel stops; the registry, files and the traffic captured so
  // far stay. Nothing but registry(), disk(), pcap() and save() may be used afterwards. Safe to call twice.
  void shutdown();
  bool running() const { return kernel_ != nullptr; }

  // Restarts Windows inside this session: every device goes, the kernel and bus are made anew, then wininit.ini
  // is carried out. Returns what the boot did with wininit.ini.
  WininitResult boot();
  const WininitResult& lastBoot() const { return lastBoot_; }
  int boots() const { return boots_; }

  // Plugs a cable into the first bus with a free port; returns its number. The cable's arrival (driver load,
  // AddDevice, start, the printer's child) has been processed when this returns. Throws std::runtime_error when
  // every bus is full or the bus refused the device.
  int plug(CableOptions options);
  // Takes cable `number` out as `how` says (UsbBus::unplug, remove, unplugWithSurpriseRemoval); returns the
  // status of the removal. A refused orderly removal leaves the cable plugged in. Throws std::out_of_range for a
  // cable that is not plugged in.
  int32_t unplug(int number, Removal how = Removal::Unplug);
  PluggedCable* cable(int number);  // nullptr when unknown
  std::vector<int> presentCables() const;
  // The cable's devnode (and its PDO) while it is plugged in.
  std::optional<DevNodeInfo> devnode(int number) const;

  // Runs `fn` with `ui` as the machine's screen (the removal program answered from a script, for instance),
  // in a user session of its own that `fn` receives (what the programs asked of Windows is recorded there).
  void withUserInterface(UserInterface& ui, const std::function<void(UserSession&)>& fn);

  // The USB traffic of every boot so far (the current one included), as one pcap capture.
  std::vector<uint8_t> pcap() const;

  // The default keys and folders of a fresh machine.
  static void writeDefaults(Registry& registry, Disk& disk);

 private:
  void prepareDeviceKey(const std::string& instanceId);
  void keepTraffic(UsbBus& bus, int number);
  void startKernel();
  void stopKernel();
  class KernelDeviceFiles;

  std::filesystem::path folder_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<Disk> disk_;
  std::unique_ptr<UserInterface> ui_;
  std::unique_ptr<DeviceFiles> deviceFiles_;  // the devices of session_'s Win32 layer
  std::unique_ptr<UserSession> session_;
  std::unique_ptr<Kernel> kernel_;
  std::vector<std::unique_ptr<UsbBus>> buses_;
  std::vector<PluggedCable> cables_;
  // The traffic of earlier boots' buses (bus number, log), rendered only when a capture is asked for.
  std::vector<std::pair<uint16_t, std::unique_ptr<TrafficLog>>> earlierTraffic_;
  WininitResult lastBoot_;
  int boots_ = 0;
};

}  // namespace w98
