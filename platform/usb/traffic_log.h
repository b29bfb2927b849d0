// The bus's record of every request as it went over the wire (and of the pipe requests that never reach the
// wire), for tests to assert exact setup packets and for captures that Wireshark/tshark can read.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb_device.h"

namespace w98 {

enum class TransferKind : uint8_t {
  Control,      // setup packet (+ data stage) on the default pipe
  Bulk,         // bulk IN or OUT
  PipeRequest,  // ABORT_PIPE / RESET_PIPE bookkeeping: no wire traffic of its own
};

struct TrafficRecord {
  uint64_t index = 0;   // order of the request on the bus (0, 1, ...), also its fault-injection index
  uint8_t device = 0;   // bus address of the device
  TransferKind kind = TransferKind::Control;
  uint16_t urbFunction = 0;
  uint8_t endpoint = 0;  // endpoint address with direction bit; 0x00/0x80 for control
  bool in = false;
  SetupPacket setup;     // Control only
  uint32_t requestedLength = 0;
  uint32_t actualLength = 0;       // bytes that moved
  std::vector<uint8_t> data;       // the bytes that moved (OUT: sent, IN: received), at most the capture limit
  bool completed = false;
  int32_t usbdStatus = 0;          // USBD_STATUS_* at completion
  int64_t submitTime = 0;          // 100-ns units of the kernel clock
  int64_t completeTime = 0;
  std::string fault;               // injected fault that shaped this request, empty if none
};

std::string toString(const TrafficRecord& record);

class TrafficLog {
 public:
  // What a log keeps by default: 64 KiB of data per record, 64 MiB in all.
  static constexpr size_t kDefaultCaptureLimit = 65536;
  static constexpr size_t kDefaultMemoryLimit = size_t{64} << 20;

  // `captureLimit`: bytes of data kept per record (the length is always kept in full). `memoryLimit`: about
  // how much the records may take in all; past it the oldest records are dropped (the newest always stays),
  // so that a long session's log stays bounded.
  explicit TrafficLog(size_t captureLimit = kDefaultCaptureLimit, size_t memoryLimit = kDefaultMemoryLimit)
      : captureLimit_(captureLimit), memoryLimit_(memoryLimit) {}

  // Appends a submitted request; returns its position for `complete` and `setFault`. Positions are never
  // reused: a position whose record was dropped or cleared meanwhile is ignored.
  size_t begin(TrafficRecord record);
  // `data` is what moved; for OUT transfers it may be empty when `begin` already holds the bytes.
  void complete(size_t position, int32_t usbdStatus, int64_t time, uint32_t actualLength,
                const uint8_t* data = nullptr, size_t dataLength = 0);
  void setFault(size_t position, std::string fault);

  std::vector<TrafficRecord> records() const;
  std::vector<TrafficRecord> recordsOfKind(TransferKind kind) const;
  std::vector<SetupPacket> setupPackets() const;  // every control record's setup, in order
  size_t size() const;       // records kept
  uint64_t dropped() const;  // records dropped for the memory limit (clear() does not count)
  void clear();
  // Moves the records kept into a new log with the same limits (a bus that goes hands its log on this way),
  // leaving this one as clear() does.
  std::unique_ptr<TrafficLog> take();
  std::string text() const;

  // Capture in pcap format, link type 220 (LINKTYPE_USB_LINUX_MMAPPED): one 'S' event at submission and one
  // 'C' event at completion per request, in time order. Pipe requests are not wire traffic and are left out.
  std::vector<uint8_t> pcap(uint16_t busNumber = 1) const;
  // Writes the capture; false (and nothing half-written left behind) when the file cannot be written.
  bool writePcap(const std::string& path, uint16_t busNumber = 1) const;

  size_t captureLimit() const { return captureLimit_; }

 private:
  static size_t footprint(const TrafficRecord& record);
  TrafficRecord* at(size_t position);  // nullptr when dropped or cleared
  void trim();

  mutable std::mutex mutex_;
  std::deque<TrafficRecord> records_;
  size_t firstPosition_ = 0;  // position of records_.front()
  size_t bytes_ = 0;          // footprint of the records kept
  uint64_t dropped_ = 0;
  size_t captureLimit_;
  size_t memoryLimit_;
};

}  // namespace w98
