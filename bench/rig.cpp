#include "rig.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "oslnk_ioctl.h"
#include "oslnk_names.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSLNK_BENCH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSLNK_BENCH_SANITIZED 1
#endif
#endif
#if OSLNK_BENCH_SANITIZED
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace bench {

namespace {

using testrig::kSuccess;
using testrig::StatusText;

}  // namespace

std::string deviceIdText(size_t length) {
  const std::string head = "MFG:Hanwell;MDL:LaserPress 6;CLS:PRINTER;DES:";
  if (length < kShortestDeviceId) throw std::invalid_argument("a device ID needs at least 48 bytes");
  std::string text = head;
  // The description says what it is, then pads with a repeating alphabet up to the closing semicolon.
  const std::string description = "Bench printer ";
  for (size_t i = 0; text.size() < length - 1; ++i)
    text += i < description.size() ? description[i] : char('a' + (i - description.size()) % 26);
  text += ';';
  return text;
}

std::vector<uint8_t> jobData(size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t x = 0x9E3779B9u;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = static_cast<uint8_t>(x ^ (i >> 8));
  }
  return data;
}

Rig::Rig(std::string_view name) : scratch_("bench_" + std::string(name)) {}

Rig::~Rig() {
  try {
    io().closeAll();
    unplugAll();
    kernel().pnp().waitIdle();
  } catch (const std::exception& e) {
    // The machine's own teardown still takes every device out.
    std::fprintf(stderr, "bench rig: taking the cables out failed: %s\n", e.what());
  }
}

w98::BusStatistics Rig::busStatistics() {
  w98::BusStatistics sum;
  for (size_t i = 0; i < machine().busCount(); ++i) {
    const auto s = machine().usb(int(i)).statistics();
    sum.controlTransfers += s.controlTransfers;
    sum.bulkTransfers += s.bulkTransfers;
    sum.controlFrames += s.controlFrames;
    sum.bulkFrames += s.bulkFrames;
    sum.bulkBytesOut += s.bulkBytesOut;
    sum.bulkBytesIn += s.bulkBytesIn;
    sum.controlBytes += s.controlBytes;
    sum.busyTime += s.busyTime;
    sum.bulkBusyTime += s.bulkBusyTime;
  }
  return sum;
}

void Rig::resetBusStatistics() {
  for (size_t i = 0; i < machine().busCount(); ++i) machine().usb(int(i)).resetStatistics();
}

size_t Rig::trafficRecords() {
  size_t n = 0;
  for (size_t i = 0; i < machine().busCount(); ++i) n += machine().usb(int(i)).log().size();
  return n;
}

void Rig::clearTraffic() {
  for (size_t i = 0; i < machine().busCount(); ++i) machine().usb(int(i)).log().clear();
}

void Rig::setMaxTransferSize(uint32_t bytes) {
  testrig::DriverParameters parameters;
  parameters.maxTransferSize = bytes;
  if (testrig::WriteDriverParameters(machine().registry(), "0000", parameters).empty())
    throw std::runtime_error(std::string("cannot write MaxTransferSize into ") + kDriverClassKey + "\\0000");
}

int Rig::plug(const CableSetup& setup) {
  w98::CableOptions options = testrig::PrinterCable(deviceIdText(setup.deviceIdLength));
  options.port.synchronousControl = !setup.timedControl;
  return machine().plug(std::move(options));
}

void Rig::unplug(int number) { machine().unplug(number); }

void Rig::unplugAll() {
  for (int number : machine().presentCables()) machine().unplug(number);
}

sim::Cable& Rig::cable(int number) {
  auto* plugged = machine().cable(number);
  if (!plugged || !plugged->cable) throw std::runtime_error("no cable " + std::to_string(number));
  return *plugged->cable;
}

std::string Rig::portName(int number) {
  if (!machine().devnode(number)) throw std::runtime_error("cable " + std::to_string(number) + " has no devnode");
  auto name = testrig::PortNameOf(machine(), number);
  if (!name) throw std::runtime_error("cable " + std::to_string(number) + " published no port name");
  return *name;
}

std::optional<std::string> Rig::printerHardwareId(int number) {
  for (const auto& child : testrig::ChildrenOf(machine(), number))
    if (!child.hardwareIds.empty()) return child.hardwareIds.front();
  return std::nullopt;
}

Handle Rig::open(const std::string& port) {
  auto opened = io().open("\\\\.\\" + port);
  if (opened.status != kSuccess || opened.handle == w98::UserIo::kInvalidHandle)
    throw std::runtime_error("opening \\\\.\\" + port + " failed with " + StatusText(opened.status));
  return opened.handle;
}

void Rig::close(Handle handle) { io().close(handle); }

ExchangeFigures readDeviceId(Rig& rig, Handle handle) {
  std::vector<char> buffer(1024, 0);
  rig.resetBusStatistics();
  const Ticks start = rig.now();
  auto result = rig.io().deviceControl(handle, IOCTL_KVUSB_GET_DEVICE_ID, nullptr, 0, buffer.data(),
                                       static_cast<uint32_t>(buffer.size()));
  ExchangeFigures f;
  f.elapsed = rig.now() - start;
  f.status = result.status;
  const auto stats = rig.busStatistics();
  f.controlTransfers = stats.controlTransfers;
  f.controlFrames = stats.controlFrames;
  const size_t n = std::min<size_t>(result.information, buffer.size());
  f.id.assign(buffer.data(), std::find(buffer.data(), buffer.data() + n, '\0'));
  return f;
}

void writeOnce(Rig& rig, Handle handle, std::span<const uint8_t> data) {
  auto result = rig.io().write(handle, data.data(), static_cast<uint32_t>(data.size()));
  if (result.status != kSuccess || result.information != data.size())
    throw std::runtime_error("a write of " + std::to_string(data.size()) + " bytes ended with " +
                             StatusText(result.status) + " after " + std::to_string(result.information) + " bytes");
}

JobFigures printJob(Rig& rig, Handle handle, std::span<const uint8_t> data, uint32_t requestSize) {
  if (requestSize == 0) throw std::invalid_argument("a request size of 0 bytes");
  JobFigures f;
  rig.resetBusStatistics();
  const Ticks start = rig.now();
  for (size_t at = 0; at < data.size(); at += requestSize) {
    const auto piece = data.subspan(at, std::min<size_t>(requestSize, data.size() - at));
    try {
      writeOnce(rig, handle, piece);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error("request " + std::to_string(f.requests + 1) + ": " + e.what());
    }
    f.bytes += piece.size();
    ++f.requests;
  }
  f.elapsed = rig.now() - start;
  f.bus = rig.busStatistics();
  return f;
}

JobFigures printConcurrently(Rig& rig, const std::vector<Handle>& handles, std::span<const uint8_t> data,
                             uint32_t requestSize) {
  if (requestSize == 0) throw std::invalid_argument("a request size of 0 bytes");
  std::mutex mutex;
  std::string failure;
  std::atomic<uint64_t> requests{0};
  rig.resetBusStatistics();
  const Ticks start = rig.now();
  {
    std::vector<w98::Kernel::Thread> threads;
    threads.reserve(handles.size());
    for (Handle handle : handles) {
      threads.push_back(rig.kernel().spawn(
          [&rig, &mutex, &failure, &requests, handle, data, requestSize] {
            try {
              for (size_t at = 0; at < data.size(); at += requestSize) {
                writeOnce(rig, handle, data.subspan(at, std::min<size_t>(requestSize, data.size() - at)));
                requests.fetch_add(1, std::memory_order_relaxed);
              }
            } catch (const std::exception& e) {
              std::lock_guard lock(mutex);
              if (failure.empty()) failure = "handle " + std::to_string(handle) + ": " + e.what();
            }
          },
          "bench printer"));
    }
    for (auto& t : threads) t.join();
  }
  if (!failure.empty()) throw std::runtime_error(failure);
  JobFigures f;
  f.elapsed = rig.now() - start;
  f.bus = rig.busStatistics();
  f.requests = requests.load();
  f.bytes = uint64_t(data.size()) * handles.size();
  return f;
}

std::optional<uint64_t> parseResidentBytes(std::string_view text) {
  const std::string_view key = "VmRSS:";
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.substr(0, key.size()) != key) continue;
    std::istringstream in{std::string(line.substr(key.size()))};
    uint64_t value = 0;
    std::string unit;
    if (!(in >> value >> unit) || unit != "kB") return std::nullopt;
    return value * 1024;
  }
  return std::nullopt;
}

std::optional<uint64_t> residentBytes() {
  std::ifstream f("/proc/self/status");
  if (!f) return std::nullopt;
  std::ostringstream text;
  text << f.rdbuf();
  return parseResidentBytes(text.str());
}

uint64_t heapBytesInUse() {
#if OSLNK_BENCH_SANITIZED
  // The sanitizer's allocator replaces the C library's, whose statistics then stay at zero.
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = ::mallinfo2();
  return uint64_t(info.uordblks) + uint64_t(info.hblkhd);  // small blocks in use + large mapped ones
#endif
}

std::optional<double> growthExponent(std::span<const double> counts, std::span<const double> costs) {
  if (counts.size() != costs.size() || counts.size() < 2) return std::nullopt;
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    if (!(counts[i] > 0) || !(costs[i] > 0)) return std::nullopt;
    const double x = std::log(counts[i]), y = std::log(costs[i]);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double n = double(counts.size());
  const double spread = sxx - sx * sx / n;
  if (spread < 1e-12) return std::nullopt;  // every count the same
  return (sxy - sx * sy / n) / spread;
}

}  // namespace bench
