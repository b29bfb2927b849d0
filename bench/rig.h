// What the benchmarks share: a simulated machine of the test rig (tests/support/scratch_machine.h) with the real
// driver and simulated cables, and the operations whose cost they measure (the device-ID exchange, print jobs, plugging), each
// returning what it did on the virtual clock and the bus so that the unit tests can check the benchmarks
// measure what they claim to.
//
// Every call is made by a participant of the machine's kernel: the thread that built the rig, or threads
// started with kernel().spawn().
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scratch_machine.h"

namespace bench {

using w98::NtStatus;
using w98::Ticks;
using Handle = w98::UserIo::Handle;

// The class key under which the machine keeps the cables' driver keys; the first one's parameters are
// copied into every driver key made later.
using testrig::kDriverClassKey;

// A well-formed IEEE 1284 device ID text of exactly `length` bytes (manufacturer, model, command set, class
// and a description padded to the length). Throws std::invalid_argument below the shortest such text.
std::string deviceIdText(size_t length);
inline constexpr size_t kShortestDeviceId = 48;

// Job bytes that differ from position to position, so a lost or repeated block would show.
std::vector<uint8_t> jobData(size_t size);

struct CableSetup {
  size_t deviceIdLength = 200;
  // Control transfers cost their 1 ms frame on the bus (the timing model); false completes them at once.
  bool timedControl = true;
};

class Rig {
 public:
  // A fresh machine in a temporary folder named after `name` and the process. Throws std::runtime_error.
  explicit Rig(std::string_view name);
  // Closes the handles still open, takes the cables out, stops the machine and removes its folder.
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  w98::Machine& machine() { return scratch_.machine(); }
  w98::Kernel& kernel() { return machine().kernel(); }
  w98::UserIo& io() { return kernel().user(); }
  // What every bus of the machine carried (a machine has more than one host controller once the first bus is
  // full), and their traffic logs' records.
  w98::BusStatistics busStatistics();
  void resetBusStatistics();
  size_t trafficRecords();
  void clearTraffic();
  Ticks now() { return kernel().clock().now(); }

  // MaxTransferSize of the cables plugged from now on (written into the driver keys before AddDevice reads
  // them). Call before the first plug: later driver keys copy the first one's.
  void setMaxTransferSize(uint32_t bytes);

  // Plugs a cable and returns its machine number; its arrival has been processed on return. Throws
  // std::runtime_error when every bus is full or the bus refused the cable.
  int plug(const CableSetup& setup = {});
  void unplug(int number);
  void unplugAll();
  sim::Cable& cable(int number);

  // The port name the cable's driver published ("KVUSB1"); throws std::runtime_error when there is none.
  std::string portName(int number);
  // The printer the driver reported under the cable (its first hardware id) while it is there; it waits for a
  // printer driver, unstarted.
  std::optional<std::string> printerHardwareId(int number);

  // Opens \\.\<port>; throws std::runtime_error with the status on failure.
  Handle open(const std::string& port);
  void close(Handle handle);

 private:
  testrig::ScratchMachine scratch_;
};

// One IOCTL_KVUSB_GET_DEVICE_ID round (the exchange and the controller set-up the driver runs after it).
struct ExchangeFigures {
  NtStatus status = 0;
  std::string id;  // the text returned, up to its first zero byte
  uint64_t controlTransfers = 0;
  uint64_t controlFrames = 0;
  Ticks elapsed = 0;  // virtual time
};
ExchangeFigures readDeviceId(Rig& rig, Handle handle);

// A job written as sequential requests of `requestSize` bytes (the last one shorter) on an open handle.
struct JobFigures {
  uint64_t bytes = 0;     // bytes the driver reported written
  uint64_t requests = 0;
  Ticks elapsed = 0;      // virtual time from the first request to the last completion
  w98::BusStatistics bus;
  // Virtual bulk throughput as a fraction of the bus's bulk limit.
  double busFraction() const { return bus.bulkLimitFraction(elapsed); }
};
// Throws std::runtime_error naming the request and its status when a request fails or comes back short.
JobFigures printJob(Rig& rig, Handle handle, std::span<const uint8_t> data, uint32_t requestSize);
// One request, the unit the per-request benchmarks repeat. Throws like printJob.
void writeOnce(Rig& rig, Handle handle, std::span<const uint8_t> data);

// Every handle prints `data` from its own participant thread at the same time. The result covers all of
// them: bytes summed, elapsed from the common start to the last completion. Throws std::runtime_error with
// the first failure of any thread.
JobFigures printConcurrently(Rig& rig, const std::vector<Handle>& handles, std::span<const uint8_t> data,
                             uint32_t requestSize);

// Resident set size of this process in bytes, from /proc/self/status; nullopt when it cannot be read.
std::optional<uint64_t> residentBytes();
// Bytes the heap has handed out and not taken back (every arena), exact to the byte unlike the resident set.
uint64_t heapBytesInUse();
// The VmRSS line of a /proc/<pid>/status text, in bytes.
std::optional<uint64_t> parseResidentBytes(std::string_view statusText);

// How a cost grows with a count: the exponent k of cost ~ count^k fitted by least squares over the points
// (0 flat, 1 linear, 2 quadratic). nullopt for fewer than two distinct counts or a non-positive value.
std::optional<double> growthExponent(std::span<const double> counts, std::span<const double> costs);

}  // namespace bench
