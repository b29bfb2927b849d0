// The host's port monitor: the spooler's side of a print job for a cable over the port monitor's own logic
// (port_monitor/cable_port, the code of reveror.dll), which runs here over the emulated Win32 layer. It opens
// \\.\KVUSB<n>, writes the job in requests of at most the cable's MaxTransferSize bytes (from its driver key),
// and reports how many bytes the printer accepted; a job that fails is reported as failed with the exact count
// accepted before the failure. It also keeps the spooler's port key KVUSB<n> of each cable it serves.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "kernel/user_io.h"
#include "oslnk_names.h"

namespace w98 {
class Machine;
}

namespace ostrolink {

struct PrintJobResult {
  std::string port;
  uint64_t size = 0;         // bytes in the job
  uint64_t bytes = 0;        // bytes the driver reported written
  uint64_t requests = 0;     // write requests sent
  uint32_t maxTransferSize = 0;
  int32_t status = 0;        // of the failing request (or of the open), else of the last one
  bool failed = false;
  bool timedOut = false;     // a request did not finish within the time-out and was cancelled
  int64_t ticks = 0;         // virtual time the job took (100-ns units)
};

class PortMonitor {
 public:
  static constexpr uint32_t kDefaultMaxTransferSize = OSLNK_DEFAULT_MAX_TRANSFER_SIZE;
  // A write that has not finished after this much virtual time is cancelled and the job fails.
  static constexpr int64_t kDefaultTimeout = 30LL * 10'000'000;

  explicit PortMonitor(w98::Machine& machine) : machine_(machine) {}

  // MaxTransferSize of the cable that publishes `port` as its "Port Name" (its driver key), or the driver's
  // default when the value is absent. nullopt when no cable present has that port.
  std::optional<uint32_t> maxTransferSize(const std::string& port) const;
  // The spooler's port key for `port`. False when the spooler refused the name.
  bool addPort(const std::string& port);

  // Prints `data` on `port`. `progress` (may be empty) is told the bytes accepted so far after each request.
  // Call from a participant thread of the machine's kernel.
  PrintJobResult print(const std::string& port, std::span<const uint8_t> data, int64_t timeout = kDefaultTimeout,
                       const std::function<void(uint64_t)>& progress = {});

 private:
  w98::Machine& machine_;
};

// Waits for a user-mode request for at most `timeout` of virtual time; a request still running then is cancelled
// (and waited for). Call from a participant thread of the machine's kernel.
struct TimedResult {
  int32_t status = 0;
  uint64_t information = 0;
  bool timedOut = false;
};
TimedResult waitWithTimeout(w98::Machine& machine, const std::shared_ptr<w98::UserIo::Request>& request,
                            int64_t timeout, const std::string& what);

// "KVUSB3" from "kvusb3"; nullopt for a name that is not KVUSB followed by a port number 1..128.
std::optional<std::string> cablePortName(const std::string& text);

}  // namespace ostrolink
