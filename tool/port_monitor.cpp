#include "port_monitor.h"

#include <algorithm>
#include <cctype>

#include "machine/machine.h"
#include "oslnk_names.h"

namespace ostrolink {

namespace {
constexpr int32_t kStatusSuccess = 0;
// Successful writes that move nothing: a printer that takes no byte at all for this many requests in a row is
// given up on, rather than written to for ever.
constexpr int kMaxEmptyWrites = 3;
constexpr int32_t kStatusIoTimeout = static_cast<int32_t>(0xC00000B5);  // STATUS_IO_TIMEOUT
}  // namespace

std::optional<std::string> cablePortName(const std::string& text) {
  const std::string prefix = OSLNK_PORT_NAME_PREFIX;
  if (text.size() <= prefix.size() || text.size() > prefix.size() + 3) return std::nullopt;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return std::nullopt;
  std::string digits = text.substr(prefix.size());
  if (digits[0] == '0') return std::nullopt;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > OSLNK_PORT_COUNT) return std::nullopt;
  return prefix + digits;
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
  auto& registry = machine_.registry();
  for (int number : machine_.presentCables()) {
    auto node = machine_.devnode(number);
    if (!node) continue;
    auto name = registry.stringValue(node->deviceKey, OSLNK_PORT_NAME_VALUE);
    if (!name || *name != port) continue;
    if (!node->driverKey.empty())
      if (auto v = registry.dwordValue(node->driverKey, OSLNK_VALUE_MAX_TRANSFER_SIZE)) return *v;
    return kDefaultMaxTransferSize;
  }
  return std::nullopt;
}

bool PortMonitor::addPort(const std::string& port) {
  for (const auto& p : machine_.spooler().ports())
    if (p == port) return true;
  return machine_.spooler().addPort(port);
}

PrintJobResult PortMonitor::print(const std::string& port, std::span<const uint8_t> data, int64_t timeout,
                                  const std::function<void(uint64_t)>& progress) {
  PrintJobResult r;
  r.port = port;
  r.size = data.size();
  auto& kernel = machine_.kernel();
  auto& clock = kernel.clock();
  const int64_t start = clock.now();
  r.maxTransferSize = maxTransferSize(port).value_or(kDefaultMaxTransferSize);
  // A driver key that says 0 would make every request empty; the driver refuses those, and so does the job.
  const uint64_t chunkLimit = std::max<uint32_t>(r.maxTransferSize, 1);

  auto opened = kernel.user().open("\\\\.\\" + port);
  if (opened.status != kStatusSuccess) {
    r.status = opened.status;
    r.failed = true;
    r.ticks = clock.now() - start;
    return r;
  }
  int emptyWrites = 0;
  while (r.bytes < r.size) {
    const uint64_t chunk = std::min<uint64_t>(chunkLimit, r.size - r.bytes);
    auto request = kernel.user().writeAsync(opened.handle, data.data() + r.bytes, static_cast<uint32_t>(chunk));
    ++r.requests;
    auto result = waitWithTimeout(machine_, request, timeout, "port monitor: write to " + port);
    if (result.timedOut) r.timedOut = true;
    r.status = result.status;
    r.bytes += std::min<uint64_t>(result.information, chunk);
    if (progress) progress(r.bytes);
    if (r.timedOut) {
      r.failed = true;
      if (result.status >= 0) r.status = kStatusIoTimeout;
      break;
    }
    if (result.status < 0) {
      r.failed = true;
      break;
    }
    emptyWrites = result.information == 0 ? emptyWrites + 1 : 0;
    if (emptyWrites >= kMaxEmptyWrites) {
      r.failed = true;
      r.status = kStatusIoTimeout;
      break;
    }
  }
  kernel.user().close(opened.handle);
  r.ticks = clock.now() - start;
  return r;
}

}  // namespace ostrolink
