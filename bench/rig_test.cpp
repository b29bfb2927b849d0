// The benchmarks' rig: that what it measures is what the figures claim (the ID really read, every job byte
// really printed, virtual time made of the bus's frames), and its helpers' edge cases.
#include "rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "usb/timing.h"

namespace {

using bench::Rig;

// Keeps an allocation from being optimised away.
void benchmark_use(char* p) {
  p[0] = 1;
  asm volatile("" : : "r"(p) : "memory");
}

TEST(BenchDeviceIdText, HasTheLengthAskedForAndTheFieldsThatNameThePrinter) {
  for (size_t length : {bench::kShortestDeviceId, size_t(100), size_t(200), size_t(1000)}) {
    const auto text = bench::deviceIdText(length);
    EXPECT_EQ(text.size(), length);
    EXPECT_EQ(text.rfind("MFG:Hanwell;MDL:LaserPress 6;", 0), 0u) << text;
    EXPECT_EQ(text.back(), ';');
    EXPECT_EQ(text.find('\0'), std::string::npos);
  }
  EXPECT_NE(bench::deviceIdText(200), bench::deviceIdText(201).substr(0, 200));
  EXPECT_THROW(bench::deviceIdText(bench::kShortestDeviceId - 1), std::invalid_argument);
}

TEST(BenchResidentBytes, ReadsTheVmRssLineInKilobytes) {
  EXPECT_EQ(bench::parseResidentBytes("Name:\tbench\nVmPeak:\t  9000 kB\nVmRSS:\t    1234 kB\nThreads: 1\n"),
            1234u * 1024);
  EXPECT_EQ(bench::parseResidentBytes("VmRSS: 7 kB"), 7u * 1024);  // last line without a newline
  EXPECT_FALSE(bench::parseResidentBytes("VmPeak:\t 9000 kB\n").has_value());
  EXPECT_FALSE(bench::parseResidentBytes("VmRSS:\t many kB\n").has_value());
  EXPECT_FALSE(bench::parseResidentBytes("VmRSS:\t 12 pages\n").has_value());
  EXPECT_FALSE(bench::parseResidentBytes("").has_value());
  auto self = bench::residentBytes();
  ASSERT_TRUE(self.has_value());
  EXPECT_GT(*self, 0u);
}

TEST(BenchHeapBytes, CountWhatIsHeldAndNotWhatWasGivenBack) {
  const auto before = int64_t(bench::heapBytesInUse());
  constexpr int64_t kBlock = 3 << 20;  // above the mmap threshold: a mapped block
  auto big = std::make_unique<char[]>(kBlock);
  std::vector<std::unique_ptr<char[]>> small;
  for (int i = 0; i < 100; ++i) small.push_back(std::make_unique<char[]>(1000));
  benchmark_use(big.get());
  const auto held = int64_t(bench::heapBytesInUse());
  EXPECT_GE(held - before, kBlock + 100 * 1000);
  EXPECT_LT(held - before, kBlock + 100 * 1100);
  big.reset();
  small.clear();
  // The allocator's per-thread cache keeps a few freed small blocks, which it still counts as in use.
  EXPECT_LT(int64_t(bench::heapBytesInUse()) - before, 16 * 1024);
}

TEST(BenchGrowthExponent, FitsFlatLinearAndQuadraticCosts) {
  const std::vector<double> counts{1, 16, 128};
  auto fit = [&](auto cost) {
    std::vector<double> costs;
    for (double n : counts) costs.push_back(cost(n));
    return bench::growthExponent(counts, costs);
  };
  EXPECT_NEAR(*fit([](double) { return 5.0; }), 0.0, 1e-9);
  EXPECT_NEAR(*fit([](double n) { return 3 * n; }), 1.0, 1e-9);
  EXPECT_NEAR(*fit([](double n) { return n * n + 0.0; }), 2.0, 1e-9);
  EXPECT_NEAR(*fit([](double n) { return std::sqrt(n); }), 0.5, 1e-9);
  // Nothing to fit.
  const std::vector<double> one{4}, same{4, 4}, costs2{1, 2}, zero{0, 2}, mismatched{1, 2, 3};
  EXPECT_FALSE(bench::growthExponent(one, one).has_value());
  EXPECT_FALSE(bench::growthExponent(same, costs2).has_value());
  EXPECT_FALSE(bench::growthExponent(costs2, zero).has_value());
  EXPECT_FALSE(bench::growthExponent(zero, costs2).has_value());
  EXPECT_FALSE(bench::growthExponent(costs2, mismatched).has_value());
}

TEST(BenchRig, RemovesItsMachineFolder) {
  std::filesystem::path folder;
  {
    Rig rig("folder");
    folder = rig.machine().folder();
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    rig.plug({.deviceIdLength = 60, .timedControl = false});  // left plugged: the rig takes it out
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
}

// The exchange figure: the 200-byte ID really comes back, and on the timing model each control transfer
// costs exactly one frame on top of what the driver's own sleeps cost.
TEST(BenchRig, DeviceIdExchangeReadsTheWholeIdAndCostsOneFramePerControlTransfer) {
  Rig rig("exchange");
  const int timedCable = rig.plug({.deviceIdLength = 200, .timedControl = true});
  const int freeCable = rig.plug({.deviceIdLength = 200, .timedControl = false});
  const auto timedHandle = rig.open(rig.portName(timedCable));
  const auto freeHandle = rig.open(rig.portName(freeCable));

  const auto timed = bench::readDeviceId(rig, timedHandle);
  const auto free = bench::readDeviceId(rig, freeHandle);
  EXPECT_EQ(timed.status, 0);
  EXPECT_EQ(free.status, 0);
  EXPECT_EQ(timed.id, bench::deviceIdText(200));
  EXPECT_EQ(free.id, bench::deviceIdText(200));

  // Each byte (the two length bytes too) is at least 4 register writes and 5 register reads.
  EXPECT_GE(timed.controlTransfers, 9u * 202);
  EXPECT_EQ(timed.controlTransfers, free.controlTransfers);
  EXPECT_EQ(timed.controlFrames, timed.controlTransfers);
  EXPECT_EQ(timed.elapsed - free.elapsed, w98::Ticks(timed.controlTransfers) * w98::usb_timing::kFrame);
  // A second round costs the same: nothing is cached between exchanges.
  const auto again = bench::readDeviceId(rig, timedHandle);
  EXPECT_EQ(again.controlTransfers, timed.controlTransfers);
  EXPECT_EQ(again.elapsed, timed.elapsed);
  rig.close(timedHandle);
  rig.close(freeHandle);
}

TEST(BenchRig, PrintJobDeliversEveryByteAndTakesTheBulkFramesOfItsRequests) {
  for (uint32_t request : {1024u, 4096u}) {
    SCOPED_TRACE(request);
    Rig rig("job");
    rig.setMaxTransferSize(request);
    const int number = rig.plug({.deviceIdLength = 60, .timedControl = false});
    const auto handle = rig.open(rig.portName(number));
    const auto job = bench::jobData(100'000);  // not a multiple of the request: the last one is short
    const auto f = bench::printJob(rig, handle, job, request);
    EXPECT_EQ(f.bytes, job.size());
    EXPECT_EQ(f.requests, (job.size() + request - 1) / request);
    EXPECT_EQ(f.bus.bulkBytesOut, job.size());
    EXPECT_EQ(f.bus.bulkTransfers, f.requests);
    EXPECT_EQ(rig.cable(number).printed(), job);
    // Requests follow one another with the bus never idle in between.
    const size_t full = job.size() / request, rest = job.size() % request;
    const w98::Ticks frames = w98::Ticks(full) * w98::usb_timing::bulkDuration(request) +
                              (rest ? w98::usb_timing::bulkDuration(rest) : 0);
    EXPECT_EQ(f.elapsed, frames);
    EXPECT_GT(f.busFraction(), 0.5);
    EXPECT_LE(f.busFraction(), 1.0);
    rig.close(handle);
  }
}

TEST(BenchRig, AFailedRequestStopsTheJobWithItsNumberAndStatus) {
  Rig rig("refused");
  const int number = rig.plug({.deviceIdLength = 60, .timedControl = false});  // MaxTransferSize 1024
  const auto handle = rig.open(rig.portName(number));
  const auto job = bench::jobData(8192);
  try {
    bench::printJob(rig, handle, job, 2048);
    ADD_FAILURE() << "a 2048-byte request over a 1024-byte MaxTransferSize went through";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("request 1:"), std::string::npos) << what;
    EXPECT_NE(what.find("0xC000000D"), std::string::npos) << what;
  }
  EXPECT_TRUE(rig.cable(number).printed().empty());
  EXPECT_THROW(bench::printJob(rig, handle, job, 0), std::invalid_argument);
  EXPECT_THROW(rig.open("KVUSB9"), std::runtime_error);
  rig.close(handle);
}

TEST(BenchRig, ConcurrentJobsEachArriveWholeAndShareTheBus) {
  Rig rig("concurrent");
  rig.setMaxTransferSize(4096);  // the first driver key; later ones copy it
  std::vector<int> cables;
  std::vector<bench::Handle> handles;
  for (int i = 0; i < 4; ++i) {
    cables.push_back(rig.plug({.deviceIdLength = 60, .timedControl = false}));
    handles.push_back(rig.open(rig.portName(cables.back())));
  }
  const auto job = bench::jobData(32 * 1024);
  const auto f = bench::printConcurrently(rig, handles, job, 4096);
  EXPECT_EQ(f.bytes, 4 * job.size());
  EXPECT_EQ(f.requests, 4u * 8);
  EXPECT_EQ(f.bus.bulkBytesOut, 4 * job.size());
  for (int number : cables) EXPECT_EQ(rig.cable(number).printed(), job) << "cable " << number;
  // One bus carries all four: together they take at least the frames of all their requests.
  EXPECT_GE(f.elapsed, 32 * w98::usb_timing::bulkDuration(4096));
  EXPECT_LE(f.busFraction(), 1.0);
  for (auto h : handles) rig.close(h);
}

// The plug figure: virtual time from plug to printer is the start's control transfers at one frame each
// plus the driver's own sleeps, and the device-ID exchange is most of it.
TEST(BenchRig, PlugTimeIsTheStartsControlFramesPlusItsSleeps) {
  Rig rig("plug_time");
  auto plugTime = [&](bool timed, uint64_t& transfers) {
    rig.resetBusStatistics();
    const auto start = rig.now();
    const int number = rig.plug({.deviceIdLength = 200, .timedControl = timed});
    const auto elapsed = rig.now() - start;
    transfers = rig.busStatistics().controlTransfers;
    EXPECT_TRUE(rig.printerHardwareId(number).has_value());
    rig.unplug(number);
    return elapsed;
  };
  uint64_t timedTransfers = 0, freeTransfers = 0;
  const auto timed = plugTime(true, timedTransfers);
  const auto free = plugTime(false, freeTransfers);
  EXPECT_EQ(timedTransfers, freeTransfers);
  EXPECT_EQ(timed - free, w98::Ticks(timedTransfers) * w98::usb_timing::kFrame);

  const auto handle = rig.open(rig.portName(rig.plug({.deviceIdLength = 200, .timedControl = true})));
  const auto exchange = bench::readDeviceId(rig, handle);
  EXPECT_GT(timedTransfers, exchange.controlTransfers);
  EXPECT_GT(timed, exchange.elapsed);
  EXPECT_LT(timed, exchange.elapsed + 100 * w98::Clock::kMillisecond);
  rig.close(handle);
}

TEST(BenchRig, AConcurrentJobOnABadHandleFailsNamingTheHandle) {
  Rig rig("bad_handle");
  const auto good = rig.open(rig.portName(rig.plug({.deviceIdLength = 60, .timedControl = false})));
  const auto job = bench::jobData(4096);
  const bench::Handle bad = good + 1000;
  try {
    bench::printConcurrently(rig, {good, bad}, job, 1024);
    ADD_FAILURE() << "a job on an unknown handle went through";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("handle " + std::to_string(bad) + ":"), std::string::npos) << e.what();
  }
  EXPECT_THROW(bench::printConcurrently(rig, {good}, job, 0), std::invalid_argument);
  rig.close(good);
}

// The scale figure's largest count: every port number the driver has, over both of the machine's buses, and
// the rig's bus figures cover the second bus too.
TEST(BenchRig, HoldsEveryPortNumberAndCountsTheTrafficOfEveryBus) {
  Rig rig("full");
  std::vector<int> cables;
  uint64_t transfersOfFirst = 0;
  for (int i = 0; i < 128; ++i) {
    const uint64_t before = rig.busStatistics().controlTransfers;
    const size_t logged = rig.trafficRecords();
    cables.push_back(rig.plug({.deviceIdLength = bench::kShortestDeviceId, .timedControl = false}));
    const uint64_t transfers = rig.busStatistics().controlTransfers - before;
    if (i == 0) transfersOfFirst = transfers;
    ASSERT_EQ(transfers, transfersOfFirst) << "cable " << i + 1;
    ASSERT_EQ(rig.trafficRecords() - logged, transfers) << "cable " << i + 1;
  }
  EXPECT_GT(rig.machine().busCount(), 1u);
  EXPECT_EQ(rig.portName(cables.back()), "KVUSB128");
  EXPECT_TRUE(rig.printerHardwareId(cables.back()).has_value());
  rig.clearTraffic();
  EXPECT_EQ(rig.trafficRecords(), 0u);
  rig.resetBusStatistics();
  EXPECT_EQ(rig.busStatistics().controlTransfers, 0u);
  // A 129th cable finds a bus port but no port number: it gets no port name and no printer.
  const int extra = rig.plug({.deviceIdLength = bench::kShortestDeviceId, .timedControl = false});
  EXPECT_THROW(rig.portName(extra), std::runtime_error);
  EXPECT_FALSE(rig.printerHardwareId(extra).has_value());
}

TEST(BenchRig, PluggedCablesGetTheirPortsAndPrintersAndGiveThePoolBack) {
  Rig rig("plug");
  std::vector<int> cables;
  for (int i = 0; i < 3; ++i) cables.push_back(rig.plug({.deviceIdLength = 200, .timedControl = false}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rig.portName(cables[i]), "KVUSB" + std::to_string(i + 1));
    auto printer = rig.printerHardwareId(cables[i]);
    ASSERT_TRUE(printer.has_value()) << "cable " << cables[i];
    EXPECT_NE(printer->find("LaserPress"), std::string::npos) << *printer;
  }
  const size_t held = rig.kernel().pool().outstandingBytes(w98::kDriverPoolTag);
  EXPECT_GT(held, 0u);
  rig.unplug(cables[0]);
  EXPECT_LT(rig.kernel().pool().outstandingBytes(w98::kDriverPoolTag), held);
  EXPECT_THROW(rig.portName(cables[0]), std::runtime_error);
  EXPECT_FALSE(rig.printerHardwareId(cables[0]).has_value());
  rig.unplugAll();
  EXPECT_EQ(rig.kernel().pool().outstandingBytes(w98::kDriverPoolTag), 0u);
  EXPECT_TRUE(rig.machine().presentCables().empty());
}

}  // namespace
