#include "traffic_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace w98 {

namespace {

const char* kindName(TransferKind kind) {
  switch (kind) {
    case TransferKind::Control: return "control";
    case TransferKind::Bulk: return "bulk";
    case TransferKind::PipeRequest: return "pipe";
  }
  return "?";
}

std::string hex(const std::vector<uint8_t>& bytes, size_t max = 32) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    if (i) out += ' ';
    out += buf;
  }
  if (bytes.size() > max) out += " ...";
  return out;
}

// Linux errno values as usbmon reports them in the status field.
constexpr int32_t kEInProgress = -115;
constexpr int32_t kEPipe = -32;         // stall
constexpr int32_t kEConnReset = -104;   // unlinked (cancelled/aborted)
constexpr int32_t kEProto = -71;        // protocol error
constexpr int32_t kEShutdown = -108;    // device gone
constexpr int32_t kERemoteIo = -121;    // short transfer refused
constexpr int32_t kEInval = -22;

int32_t errnoFor(int32_t usbd) {
  switch (uint32_t(usbd)) {
    case 0: return 0;
    case 0xC0000004: case 0xC0000030: return kEPipe;       // STALL_PID, ENDPOINT_HALTED
    case 0xC0010000: return kEConnReset;                   // CANCELED
    case 0xC0007000: return kEShutdown;                    // DEVICE_GONE
    case 0xC0000009: case 0x80000900: return kERemoteIo;   // DATA_UNDERRUN, ERROR_SHORT_TRANSFER
    case 0x80000300: case 0x80000600: case 0x80000200: return kEInval;
    default: return usbd < 0 ? kEProto : 0;
  }
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

struct Event {
  int64_t time;
  size_t order;  // tie-break: position in the log, submissions before completions of the same request
  const TrafficRecord* record;
  bool submission;
};

// One usbmon event: 64-byte mmapped header (little-endian) + captured data.
void appendEvent(std::vector<uint8_t>& out, const Event& ev, uint16_t bus) {
  const TrafficRecord& r = *ev.record;
  const bool control = r.kind == TransferKind::Control;
  std::vector<uint8_t> payload;
  if (ev.submission && !r.in) payload = r.data;   // OUT data travels with the submission
  if (!ev.submission && r.in) payload = r.data;   // IN data comes back with the completion

  std::vector<uint8_t> h;
  h.reserve(64);
  put64(h, r.index + 1);                              // id: tag that pairs S and C
  h.push_back(ev.submission ? 'S' : 'C');             // event type
  h.push_back(control ? 2 : 3);                       // transfer type: 2 control, 3 bulk
  h.push_back(uint8_t((r.endpoint & 0x0F) | (r.in ? 0x80 : 0x00)));
  h.push_back(r.device);
  put16(h, bus);
  h.push_back(control && ev.submission ? 0 : '-');    // flag_setup: 0 = setup bytes present
  char flagData = 0;
  if (payload.empty()) flagData = ev.submission ? (r.in ? '<' : (r.requestedLength ? '>' : '=')) : (r.in ? '<' : '>');
  h.push_back(uint8_t(flagData));
  int64_t t = ev.submission ? r.submitTime : r.completeTime;
  put64(h, uint64_t(t / 10'000'000));                 // ts_sec
  put32(h, uint32_t((t % 10'000'000) / 10));          // ts_usec
  put32(h, uint32_t(ev.submission ? kEInProgress : errnoFor(r.usbdStatus)));
  put32(h, ev.submission ? r.requestedLength : r.actualLength);  // length
  put32(h, uint32_t(payload.size()));                 // len_cap
  if (control && ev.submission) {
    h.push_back(r.setup.bmRequestType);
    h.push_back(r.setup.bRequest);
    put16(h, r.setup.wValue);
    put16(h, r.setup.wIndex);
    put16(h, r.setup.wLength);
  } else {
    put64(h, 0);
  }
  put32(h, 0);                                        // interval
  put32(h, 0);                                        // start_frame
  put32(h, r.in ? 0x200 : 0);                         // xfer_flags (URB_DIR_IN)
  put32(h, 0);                                        // ndesc

  uint32_t length = uint32_t(h.size() + payload.size());
  put32(out, uint32_t(t / 10'000'000));
  put32(out, uint32_t((t % 10'000'000) / 10));
  put32(out, length);
  put32(out, length);
  out.insert(out.end(), h.begin(), h.end());
  out.insert(out.end(), payload.begin(), payload.end());
}

}  // namespace

std::string toString(const SetupPacket& s) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "bmRequestType=%02x bRequest=%02x wValue=%04x wIndex=%04x wLength=%u",
                s.bmRequestType, s.bRequest, s.wValue, s.wIndex, unsigned(s.wLength));
  return buf;
}

std::string toString(const TrafficRecord& r) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "#%llu dev %u %s fn=0x%04x ep=%02x %s len %u/%u status=%08x t=%lld..%lld",
                (unsigned long long)r.index, r.device, kindName(r.kind), r.urbFunction, r.endpoint,
                r.in ? "IN" : "OUT", r.actualLength, r.requestedLength, uint32_t(r.usbdStatus),
                (long long)r.submitTime, (long long)r.completeTime);
  std::string out = buf;
  if (r.kind == TransferKind::Control) out += " [" + toString(r.setup) + "]";
  if (!r.completed) out += " (pending)";
  if (!r.fault.empty()) out += " fault:" + r.fault;
  if (!r.data.empty()) out += " data: " + hex(r.data);
  return out;
}

size_t TrafficLog::footprint(const TrafficRecord& record) {
  return sizeof(TrafficRecord) + record.data.size() + record.fault.size();
}

TrafficRecord* TrafficLog::at(size_t position) {
  if (position < firstPosition_ || position - firstPosition_ >= records_.size()) return nullptr;
  return &records_[position - firstPosition_];
}

void TrafficLog::trim() {
  while (bytes_ > memoryLimit_ && records_.size() > 1) {
    bytes_ -= footprint(records_.front());
    records_.pop_front();
    ++firstPosition_;
    ++dropped_;
  }
}

size_t TrafficLog::begin(TrafficRecord record) {
  std::lock_guard lock(mutex_);
  if (record.data.size() > captureLimit_) record.data.resize(captureLimit_);
  bytes_ += footprint(record);
  records_.push_back(std::move(record));
  const size_t position = firstPosition_ + records_.size() - 1;
  trim();
  return position;
}

void TrafficLog::complete(size_t position, int32_t usbdStatus, int64_t time, uint32_t actualLength,
                          const uint8_t* data, size_t dataLength) {
  std::lock_guard lock(mutex_);
  TrafficRecord* r = at(position);
  if (r == nullptr) return;  // dropped or cleared in the meantime
  bytes_ -= footprint(*r);
  r->completed = true;
  r->usbdStatus = usbdStatus;
  r->completeTime = time;
  r->actualLength = actualLength;
  if (data) {
    r->data.assign(data, data + std::min(dataLength, captureLimit_));
  } else if (r->data.size() > actualLength) {
    r->data.resize(actualLength);  // an OUT transfer that moved fewer bytes than offered
  }
  bytes_ += footprint(*r);
  trim();
}

void TrafficLog::setFault(size_t position, std::string fault) {
  std::lock_guard lock(mutex_);
  TrafficRecord* r = at(position);
  if (r == nullptr) return;
  bytes_ -= footprint(*r);
  r->fault = std::move(fault);
  bytes_ += footprint(*r);
  trim();
}

std::vector<TrafficRecord> TrafficLog::records() const {
  std::lock_guard lock(mutex_);
  return {records_.begin(), records_.end()};
}

std::vector<TrafficRecord> TrafficLog::recordsOfKind(TransferKind kind) const {
  std::lock_guard lock(mutex_);
  std::vector<TrafficRecord> out;
  for (const auto& r : records_)
    if (r.kind == kind) out.push_back(r);
  return out;
}

std::vector<SetupPacket> TrafficLog::setupPackets() const {
  std::lock_guard lock(mutex_);
  std::vector<SetupPacket> out;
  for (const auto& r : records_)
    if (r.kind == TransferKind::Control) out.push_back(r.setup);
  return out;
}

size_t TrafficLog::size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

uint64_t TrafficLog::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void TrafficLog::clear() {
  std::lock_guard lock(mutex_);
  firstPosition_ += records_.size();
  records_.clear();
  bytes_ = 0;
}

std::unique_ptr<TrafficLog> TrafficLog::take() {
  auto taken = std::make_unique<TrafficLog>(captureLimit_, memoryLimit_);
  std::lock_guard lock(mutex_);
  taken->records_ = std::move(records_);
  taken->bytes_ = bytes_;
  firstPosition_ += taken->records_.size();
  records_.clear();
  bytes_ = 0;
  return taken;
}

std::string TrafficLog::text() const {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const auto& r : records_) out += toString(r) + "\n";
  return out;
}

std::vector<uint8_t> TrafficLog::pcap(uint16_t busNumber) const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> out;
  put32(out, 0xa1b2c3d4);  // microsecond timestamps
  put16(out, 2);
  put16(out, 4);
  put32(out, 0);           // thiszone
  put32(out, 0);           // sigfigs
  put32(out, 262144);      // snaplen
  put32(out, 220);         // LINKTYPE_USB_LINUX_MMAPPED

  std::vector<Event> events;
  for (size_t i = 0; i < records_.size(); ++i) {
    const TrafficRecord& r = records_[i];
    if (r.kind == TransferKind::PipeRequest) continue;
    events.push_back({r.submitTime, 2 * i, &r, true});
    if (r.completed) events.push_back({r.completeTime, 2 * i + 1, &r, false});
  }
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.time != b.time ? a.time < b.time : a.order < b.order;
  });
  for (const auto& ev : events) appendEvent(out, ev, busNumber);
  return out;
}

bool TrafficLog::writePcap(const std::string& path, uint16_t busNumber) const {
  std::vector<uint8_t> bytes = pcap(busNumber);
  std::string temp = path + ".partial";
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    f.close();
    if (!f) {
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace w98
