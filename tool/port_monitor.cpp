#include "port_monitor.h"

#include <windows.h>

#include <algorithm>

#include "cable_port.h"
#include "machine/machine.h"

namespace ostrolink {

namespace {
constexpr int32_t kStatusIoTimeout = static_cast<int32_t>(0xC00000B5);          // STATUS_IO_TIMEOUT
constexpr int32_t kStatusObjectNameInvalid = static_cast<int32_t>(0xC0000033);  // STATUS_OBJECT_NAME_INVALID
constexpr int64_t kTicksPerMillisecond = 10'000;
}  // namespace

std::optional<std::string> cablePortName(const std::string& text) {
  char canonical[cable_port::kPortNameSize];
  if (text.size() >= sizeof canonical || !cable_port::CanonicalPortName(text.c_str(), canonical)) return std::nullopt;
  return std::string(canonical);
}

TimedResult waitWithTimeout(w98::Machine& machine, const std::shared_ptr<w98::UserIo::Request>& request,
                            int64_t timeout, const std::string& what) {
  auto& kernel = machine.kernel();
  auto& clock = kernel.clock();
  // A watchdog thread cancels the request when it has not finished in time (a printer out of paper NAKs for
  // ever); it gives up waiting as soon as the request is done, so it never holds virtual time back.
  bool finished = false;  // changed inside clock.update(), read by the watchdog's wait
  bool expired = false;
  const int64_t deadline = clock.now() + timeout;
  auto watchdog = kernel.spawn(
      [&] {
        if (!clock.waitUntil([&] { return finished; }, "time-out of " + what, deadline)) {
          expired = true;
          request->cancel();
        }
      },
      "watchdog of " + what);
  auto result = request->wait();
  clock.update([&] { finished = true; });
  watchdog.join();
  return {result.status, result.information, expired};
}

std::optional<uint32_t> PortMonitor::maxTransferSize(const std::string& port) const {
  cable_port::CablePortInfo info;
  char canonical[cable_port::kPortNameSize];
  if (port.size() >= sizeof canonical || !cable_port::CanonicalPortName(port.c_str(), canonical) ||
      !cable_port::FindCablePort(canonical, &info))
    return std::nullopt;
  return info.maxTransferSize;
}

bool PortMonitor::addPort(const std::string& port) {
  return port.size() < static_cast<size_t>(cable_port::kPortNameSize) && cable_port::KeepPortKey(port.c_str()) == ERROR_SUCCESS;
}

// The spooler's part: OpenPort, StartDocPort, WritePort for each piece of the job, EndDocPort, ClosePort of the
// monitor's own logic. The statuses reported are the driver's (NTSTATUS), as the Win32 layer last saw them.
PrintJobResult PortMonitor::print(const std::string& port, std::span<const uint8_t> data, int64_t timeout,
                                  const std::function<void(uint64_t)>& progress) {
  PrintJobResult r;
  r.port = port;
  r.size = data.size();
  auto& clock = machine_.kernel().clock();
  const int64_t start = clock.now();
  r.maxTransferSize = kDefaultMaxTransferSize;
  auto finish = [&] {
    r.ticks = clock.now() - start;
    return r;
  };
  cable_port::PortJob job;
  if (port.size() >= cable_port::kPortNameSize || !cable_port::OpenPort(port.c_str(), &job)) {
    r.status = kStatusObjectNameInvalid;
    r.failed = true;
    return finish();
  }
  job.timeoutMs = static_cast<DWORD>(std::clamp<int64_t>((timeout + kTicksPerMillisecond - 1) / kTicksPerMillisecond,
                                                         0, INFINITE - 1));
  if (!cable_port::StartDocPort(&job)) {
    r.status = w98::lastDeviceStatus();
    r.failed = true;
    cable_port::ClosePort(&job);
    return finish();
  }
  r.maxTransferSize = job.cable.maxTransferSize;
  const uint64_t piece = std::max<uint32_t>(job.cable.maxTransferSize, 1);
  while (r.bytes < r.size) {
    const DWORD size = static_cast<DWORD>(std::min<uint64_t>(piece, r.size - r.bytes));
    DWORD written = 0;
    const BOOL ok = cable_port::WritePort(&job, data.data() + r.bytes, size, &written);
    r.bytes += written;
    r.status = w98::lastDeviceStatus();
    if (progress) progress(r.bytes);
    if (!ok) break;
  }
  r.requests = job.requests;
  r.timedOut = job.timedOut != FALSE;
  r.failed = job.failed != FALSE;
  // A request cancelled after it finished, or a printer that took nothing for several requests: the job failed
  // although the driver's last status was a success.
  if (r.failed && r.status >= 0) r.status = kStatusIoTimeout;
  cable_port::EndDocPort(&job);
  cable_port::ClosePort(&job);
  return finish();
}

}  // namespace ostrolink
