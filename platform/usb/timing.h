// The bus's timing model (full speed): a control transfer costs one 1 ms frame; bulk data moves in 64-byte
// packets, at most 19 per frame. Times are in the kernel clock's 100-ns units.
#pragma once

#include <cstddef>
#include <cstdint>

namespace w98::usb_timing {

inline constexpr int64_t kFrame = 10'000;  // 1 ms
inline constexpr size_t kBulkPacket = 64;
inline constexpr size_t kBulkPacketsPerFrame = 19;
inline constexpr double kBulkLimitBytesPerSecond = double(kBulkPacket * kBulkPacketsPerFrame) * 1000.0;  // 1,216,000

// Packets of a bulk transfer of n bytes; a zero-length transfer still sends one (empty) packet.
constexpr uint64_t bulkPackets(size_t bytes) { return bytes == 0 ? 1 : (bytes + kBulkPacket - 1) / kBulkPacket; }
constexpr uint64_t bulkFrames(size_t bytes) {
  return (bulkPackets(bytes) + kBulkPacketsPerFrame - 1) / kBulkPacketsPerFrame;
}
constexpr int64_t bulkDuration(size_t bytes) { return int64_t(bulkFrames(bytes)) * kFrame; }

}  // namespace w98::usb_timing

namespace w98 {

// What the bus has carried since it was created (or since the statistics were reset).
struct BusStatistics {
  uint64_t controlTransfers = 0;
  uint64_t bulkTransfers = 0;  // completed bulk transfers
  uint64_t controlFrames = 0;
  uint64_t bulkFrames = 0;
  uint64_t bulkBytesOut = 0;
  uint64_t bulkBytesIn = 0;
  uint64_t controlBytes = 0;  // data stages
  int64_t busyTime = 0;       // 100-ns units during which a transfer occupied the bus
  int64_t bulkBusyTime = 0;   // part of busyTime spent moving bulk data

  uint64_t frames() const { return controlFrames + bulkFrames; }
  uint64_t bulkBytes() const { return bulkBytesOut + bulkBytesIn; }
  // Bulk throughput over `elapsed` (100-ns units) as a fraction of the bus's bulk limit.
  double bulkLimitFraction(int64_t elapsed) const {
    if (elapsed <= 0) return 0.0;
    double seconds = double(elapsed) / 1e7;
    return double(bulkBytes()) / seconds / usb_timing::kBulkLimitBytesPerSecond;
  }
};

}  // namespace w98
