// The one test rig: a simulated Windows 98 machine (w98::Machine, with the real driver) in a temporary folder of
// its own, the cables and printers to plug into it, the driver's registry parameters, and the statuses the tests
// compare against. The driver tests, the reliability campaign, the benchmarks and the tool tests build on it.
//
// Everything here is plain C++ (no test framework), so that the benchmarks can use it too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"
#include "scratch_folder.h"

namespace testrig {

using w98::NtStatus;

inline constexpr NtStatus kSuccess = 0;
inline constexpr NtStatus kUnsuccessful = int32_t(0xC0000001);
inline constexpr NtStatus kInvalidParameter = int32_t(0xC000000D);
inline constexpr NtStatus kNoSuchDevice = int32_t(0xC000000E);
inline constexpr NtStatus kNoMemory = int32_t(0xC0000017);
inline constexpr NtStatus kAccessDenied = int32_t(0xC0000022);
inline constexpr NtStatus kObjectNameNotFound = int32_t(0xC0000034);
inline constexpr NtStatus kObjectNameCollision = int32_t(0xC0000035);
inline constexpr NtStatus kDeletePending = int32_t(0xC0000056);
inline constexpr NtStatus kInsufficientResources = int32_t(0xC000009A);
inline constexpr NtStatus kDeviceNotConnected = int32_t(0xC000009D);
inline constexpr NtStatus kIoTimeout = int32_t(0xC00000B5);
inline constexpr NtStatus kCancelled = int32_t(0xC0000120);

// A status as the tests print it: "0xC0000001".
std::string StatusText(NtStatus status);

// A fresh machine in a scratch folder. The machine goes before its folder.
class ScratchMachine {
 public:
  explicit ScratchMachine(std::string_view label);
  ~ScratchMachine();
  ScratchMachine(const ScratchMachine&) = delete;
  ScratchMachine& operator=(const ScratchMachine&) = delete;

  w98::Machine& machine() { return *machine_; }
  bool running() const { return machine_ != nullptr; }
  const std::filesystem::path& folder() const { return folder_.path(); }
  // Takes the machine down (its teardown reports leaks and stuck requests); the folder stays until the end.
  void stop() { machine_.reset(); }
  // Stops the machine and opens a new one in the same folder: what was not saved is gone.
  void restart();

 private:
  ScratchFolder folder_;
  std::unique_ptr<w98::Machine> machine_;
};

// Cables and printers. The printer answers the device-ID exchange with `deviceId`; without one, the simulated
// printer's own.
inline constexpr char kPrinterDeviceId[] = "MFG:Acme;CMD:PCL;MDL:Jet 100;CLS:PRINTER;";
inline constexpr char kShortDeviceId[] = "MFG:Acme;MDL:Jet 100;";
w98::CableOptions PrinterCable(std::string deviceId);
// `options` with control transfers that complete inside the call, so that time only moves by the driver's own
// sleeps and time-outs.
w98::CableOptions SyncCable(w98::CableOptions options = {});
// A printer that does not take part in IEEE 1284 negotiation: the device-ID exchange fails fast.
w98::CableOptions SilentPrinterCable();

// The driver's parameters in a cable's driver key (absent: not written).
inline constexpr char kDriverClassKey[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USBQXC";
inline constexpr char kCableEnumKey[] = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0F1B&PID_1002";
struct DriverParameters {
  std::optional<uint32_t> altSetting;
  std::optional<uint32_t> ifSetting;
  std::optional<uint32_t> maxTransferSize;
};
// Writes `parameters` into the driver key USBQXC\<driverKey>; returns the key's full name, or "" when the
// registry refused a write.
std::string WriteDriverParameters(w98::Registry& registry, const std::string& driverKey,
                                  const DriverParameters& parameters);
// Prepares the device key of instance `instance` so that its cable uses driver key USBQXC\<driverKey>.
bool AssignDriverKey(w98::Registry& registry, const std::string& instance, const std::string& driverKey);

// The "Port Name" the cable's driver published ("KVUSB1"), or nullopt when there is none.
std::optional<std::string> PortNameOf(w98::Machine& machine, int number);
// The devnodes the driver reported under cable `number` (its printer) that are still there.
std::vector<w98::DevNodeInfo> ChildrenOf(w98::Machine& machine, int number);

}  // namespace testrig
