#include "usb/traffic_log.h"

#include <gtest/gtest.h>

#include "tshark.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <fstream>
#include <memory>

using namespace w98;

namespace {

TrafficRecord controlIn(uint64_t index, SetupPacket setup, int64_t t) {
  TrafficRecord r;
  r.index = index;
  r.device = 2;
  r.kind = TransferKind::Control;
  r.urbFunction = 0x0017;
  r.in = true;
  r.endpoint = 0x80;
  r.setup = setup;
  r.requestedLength = setup.wLength;
  r.submitTime = t;
  return r;
}

TrafficRecord bulkOut(uint64_t index, std::vector<uint8_t> data, int64_t t) {
  TrafficRecord r;
  r.index = index;
  r.device = 2;
  r.kind = TransferKind::Bulk;
  r.urbFunction = 0x0009;
  r.endpoint = 0x01;
  r.requestedLength = uint32_t(data.size());
  r.data = std::move(data);
  r.submitTime = t;
  return r;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

struct PcapEvent {
  uint32_t tsSec, tsUsec;
  std::vector<uint8_t> header;  // 64 bytes
  std::vector<uint8_t> data;
};

// Independent reader of the file layout: global header, then per record 16 bytes + usbmon header + data.
std::vector<PcapEvent> parse(const std::vector<uint8_t>& b) {
  std::vector<PcapEvent> out;
  EXPECT_GE(b.size(), 24u);
  EXPECT_EQ(le32(b, 0), 0xa1b2c3d4u);
  EXPECT_EQ(le32(b, 20), 220u);
  size_t at = 24;
  while (at + 16 <= b.size()) {
    PcapEvent e;
    e.tsSec = le32(b, at);
    e.tsUsec = le32(b, at + 4);
    uint32_t incl = le32(b, at + 8);
    EXPECT_EQ(incl, le32(b, at + 12));
    at += 16;
    EXPECT_GE(incl, 64u);
    EXPECT_LE(at + incl, b.size());
    e.header.assign(b.begin() + at, b.begin() + at + 64);
    e.data.assign(b.begin() + at + 64, b.begin() + at + incl);
    uint32_t lenCap = le32(e.header, 36);
    EXPECT_EQ(lenCap, e.data.size());
    at += incl;
    out.push_back(std::move(e));
  }
  EXPECT_EQ(at, b.size());
  return out;
}

std::string runCommand(const std::string& cmd) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0) out.append(buf.data(), n);
  return out;
}

}  // namespace

TEST(TrafficLog, KeepsRequestsInOrderAndCompletesThem) {
  TrafficLog log;
  size_t a = log.begin(controlIn(0, {0xC0, 3, 1, 0, 7}, 100));
  size_t b = log.begin(bulkOut(1, {1, 2, 3, 4, 5}, 150));
  uint8_t snapshot[7] = {0xDF, 0x4C, 0, 0, 0, 0x43, 0xF8};
  log.complete(a, 0, 10'100, 7, snapshot, 7);
  log.complete(b, int32_t(0xC0000004), 20'150, 3);  // moved only 3 of 5 bytes, then stalled
  log.setFault(b, "stall");

  auto records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].completed);
  EXPECT_EQ(records[0].data, std::vector<uint8_t>(snapshot, snapshot + 7));
  EXPECT_EQ(records[0].completeTime, 10'100);
  EXPECT_EQ(records[1].data, (std::vector<uint8_t>{1, 2, 3}));  // trimmed to what moved
  EXPECT_EQ(records[1].usbdStatus, int32_t(0xC0000004));
  EXPECT_EQ(records[1].fault, "stall");

  auto setups = log.setupPackets();
  ASSERT_EQ(setups.size(), 1u);
  EXPECT_EQ(setups[0], (SetupPacket{0xC0, 3, 1, 0, 7}));
  EXPECT_EQ(log.recordsOfKind(TransferKind::Bulk).size(), 1u);
  std::string text = log.text();
  EXPECT_NE(text.find("bmRequestType=c0 bRequest=03 wValue=0001 wIndex=0000 wLength=7"), std::string::npos) << text;
  EXPECT_NE(text.find("fault:stall"), std::string::npos);

  log.complete(99, 0, 0, 0);  // unknown position: ignored, no crash
  log.clear();
  EXPECT_EQ(log.size(), 0u);
}

TEST(TrafficLog, CaptureLimitBoundsKeptDataButNotLength) {
  TrafficLog log(4);
  size_t p = log.begin(bulkOut(0, std::vector<uint8_t>(100, 0xAA), 0));
  log.complete(p, 0, 10, 100);
  auto r = log.records()[0];
  EXPECT_EQ(r.data.size(), 4u);
  EXPECT_EQ(r.actualLength, 100u);
  EXPECT_EQ(r.requestedLength, 100u);
}

TEST(TrafficLog, MemoryLimitDropsTheOldestAndLateCompletionsFindTheirOwnRecord) {
  // Room for about three records of 1000 bytes: a long session keeps its latest traffic, not all of it.
  const size_t perRecord = sizeof(TrafficRecord) + 1000;
  TrafficLog log(TrafficLog::kDefaultCaptureLimit, 3 * perRecord + perRecord / 2);
  std::vector<size_t> positions;
  for (uint8_t i = 0; i < 5; ++i) positions.push_back(log.begin(bulkOut(1, std::vector<uint8_t>(1000, i), i)));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log.dropped(), 2u);
  EXPECT_EQ(log.records().front().data.front(), 2);  // the oldest two went
  log.complete(positions[0], 0, 5, 1000);             // its record was dropped: ignored
  log.complete(positions[3], 0, 6, 1000);
  auto records = log.records();
  EXPECT_FALSE(records[0].completed);
  EXPECT_TRUE(records[1].completed);
  EXPECT_EQ(records[1].data.front(), 3);

  // A request begun before a clear completes after new ones began: it must not complete one of them.
  const size_t early = log.begin(bulkOut(1, {0xEE}, 10));
  log.clear();
  const size_t late = log.begin(bulkOut(1, {0x11}, 11));
  EXPECT_NE(early, late);
  log.complete(early, int32_t(0xC0000004), 12, 1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_FALSE(log.records()[0].completed);
  EXPECT_EQ(log.dropped(), 2u);  // clearing is not dropping

  // A single record larger than the limit is still kept: the newest always stays.
  TrafficLog tiny(TrafficLog::kDefaultCaptureLimit, 16);
  tiny.begin(bulkOut(1, std::vector<uint8_t>(64, 1), 0));
  tiny.begin(bulkOut(1, std::vector<uint8_t>(64, 2), 1));
  ASSERT_EQ(tiny.size(), 1u);
  EXPECT_EQ(tiny.records()[0].data.front(), 2);
}

TEST(TrafficLog, PcapHasSubmissionAndCompletionEventsInTimeOrder) {
  TrafficLog log;
  size_t c = log.begin(controlIn(0, {0xC0, 3, 1, 0, 7}, 10'000'000 + 20));  // 1 s + 2 us
  size_t b = log.begin(bulkOut(1, {9, 8, 7}, 10'000'000 + 30));
  TrafficRecord pipe;
  pipe.index = 2;
  pipe.kind = TransferKind::PipeRequest;
  log.begin(pipe);  // no wire traffic: not captured
  uint8_t in[7] = {1, 2, 3, 4, 5, 6, 7};
  log.complete(b, 0, 10'000'000 + 5'000, 3);
  log.complete(c, 0, 10'000'000 + 10'020, 7, in, 7);
  size_t pending = log.begin(bulkOut(3, {1}, 10'000'000 + 40));  // never completes: submission only
  (void)pending;

  auto events = parse(log.pcap(1));
  ASSERT_EQ(events.size(), 5u);
  // Time order: S(control) S(bulk) S(bulk pending) C(bulk) C(control).
  EXPECT_EQ(events[0].header[8], 'S');
  EXPECT_EQ(events[0].header[9], 2);          // control
  EXPECT_EQ(events[0].header[10], 0x80);      // endpoint 0 IN
  EXPECT_EQ(events[0].header[11], 2);         // device address
  EXPECT_EQ(events[0].header[12], 1);         // bus number
  EXPECT_EQ(events[0].header[14], 0);         // setup present
  EXPECT_EQ(events[0].tsSec, 1u);
  EXPECT_EQ(events[0].tsUsec, 2u);
  EXPECT_EQ(int32_t(le32(events[0].header, 28)), -115);  // -EINPROGRESS
  EXPECT_EQ(le32(events[0].header, 32), 7u);
  const uint8_t setup[8] = {0xC0, 3, 1, 0, 0, 0, 7, 0};
  EXPECT_EQ(0, std::memcmp(&events[0].header[40], setup, 8));
  EXPECT_TRUE(events[0].data.empty());

  EXPECT_EQ(events[1].header[8], 'S');
  EXPECT_EQ(events[1].header[9], 3);          // bulk
  EXPECT_EQ(events[1].header[10], 0x01);
  EXPECT_EQ(events[1].data, (std::vector<uint8_t>{9, 8, 7}));  // OUT data with the submission
  EXPECT_EQ(events[2].header[8], 'S');
  EXPECT_EQ(events[3].header[8], 'C');
  EXPECT_EQ(events[3].header[14], '-');
  EXPECT_TRUE(events[3].data.empty());
  EXPECT_EQ(events[4].header[8], 'C');
  EXPECT_EQ(events[4].data, std::vector<uint8_t>(in, in + 7));  // IN data with the completion
  EXPECT_EQ(le32(events[4].header, 28), 0u);
  // S and C of one request share an id.
  EXPECT_EQ(0, std::memcmp(&events[0].header[0], &events[4].header[0], 8));
}

TEST(TrafficLog, FailedCompletionsCarryLinuxErrnoStatus) {
  TrafficLog log;
  size_t stall = log.begin(bulkOut(0, {1}, 0));
  size_t cancel = log.begin(bulkOut(1, {1}, 0));
  log.complete(stall, int32_t(0xC0000004), 10, 0);
  log.complete(cancel, int32_t(0xC0010000), 20, 0);
  auto events = parse(log.pcap());
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(int32_t(le32(events[2].header, 28)), -32);   // -EPIPE
  EXPECT_EQ(int32_t(le32(events[3].header, 28)), -104);  // -ECONNRESET
}

TEST(TrafficLog, WritePcapFailsCleanlyOnABadPath) {
  TrafficLog log;
  log.begin(bulkOut(0, {1}, 0));
  EXPECT_FALSE(log.writePcap("/nonexistent-dir/x/capture.pcap"));
  auto path = std::filesystem::temp_directory_path() / ("w98_usb_log_test_" + std::to_string(getpid()) + ".pcap");
  ASSERT_TRUE(log.writePcap(path.string()));
  EXPECT_EQ(std::filesystem::file_size(path), log.pcap().size());
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".partial"));
  std::filesystem::remove(path);
}

TEST(TrafficLog, TsharkDissectsTheSetupPacket) {
  const auto tshark = tsharkPath();
  if (!tshark) GTEST_SKIP() << "tshark is not installed";
  TrafficLog log;
  size_t c = log.begin(controlIn(0, {0xC0, 3, 0x0001, 0x0000, 7}, 0));
  uint8_t in[7] = {0xDF, 0x4C, 0, 0, 0, 0, 0};
  log.complete(c, 0, 10'000, 7, in, 7);
  TrafficRecord w = controlIn(1, {0x40, 4, 0x024C, 0, 0}, 20'000);
  w.in = false;
  w.endpoint = 0;
  log.complete(log.begin(w), 0, 30'000, 0);
  size_t b = log.begin(bulkOut(2, {'H', 'i'}, 40'000));
  log.complete(b, 0, 50'000, 2);
  auto path = std::filesystem::temp_directory_path() / ("w98_usb_tshark_test_" + std::to_string(getpid()) + ".pcap");
  ASSERT_TRUE(log.writePcap(path.string()));
  std::string out = runCommand(*tshark + " -r " + path.string() + " -V 2>&1");
  std::filesystem::remove(path);
  EXPECT_NE(out.find("bRequest: 3"), std::string::npos) << out;
  EXPECT_NE(out.find("wValue: 0x0001"), std::string::npos) << out;
  EXPECT_NE(out.find("wLength: 7"), std::string::npos) << out;
  EXPECT_NE(out.find("wValue: 0x024c"), std::string::npos) << out;
  EXPECT_NE(out.find("URB transfer type: URB_BULK (0x03)"), std::string::npos) << out;
  EXPECT_NE(out.find("Type: Vendor"), std::string::npos) << out;
  EXPECT_EQ(out.find("Malformed"), std::string::npos) << out;
}
