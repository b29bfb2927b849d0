// Print throughput through the whole path: a client write, the I/O manager's IRP, the driver's bulk URB,
// the simulated bus and cable, the completion back to the client.
//
//  - BM_Memcpy: a plain copy of the same bytes, the host's own limit, measured in the same run.
//  - BM_PrintRequest: one write request of n bytes (MaxTransferSize n) repeated; host time per request.
//  - BM_PrintJob: a 1 MiB job in requests of MaxTransferSize bytes; virtual throughput as a fraction of the
//    bus's bulk limit (1,216,000 bytes/s) and host time per job.
#include <benchmark/benchmark.h>

#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "rig.h"

namespace {

void BM_Memcpy(benchmark::State& state) {
  const auto source = bench::jobData(size_t(state.range(0)));
  std::vector<uint8_t> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Memcpy)->ArgName("bytes")->Arg(1024)->Arg(4096);

// A machine with one cable whose MaxTransferSize is `requestSize`, and a handle on its port.
struct PrintSetup {
  explicit PrintSetup(uint32_t requestSize) : rig("print") {
    rig.setMaxTransferSize(requestSize);
    // The device-ID exchange at start is not what is measured here: let its control transfers be free.
    handle = rig.open(rig.portName(rig.plug({.deviceIdLength = 200, .timedControl = false})));
  }
  ~PrintSetup() { rig.close(handle); }
  bench::Rig rig;
  bench::Handle handle = 0;
};

void BM_PrintRequest(benchmark::State& state) {
  const uint32_t size = uint32_t(state.range(0));
  const auto data = bench::jobData(size);
  try {
    PrintSetup setup(size);
    setup.rig.resetBusStatistics();
    const w98::Ticks start = setup.rig.now();
    for (auto _ : state) bench::writeOnce(setup.rig, setup.handle, data);
    const w98::Ticks elapsed = setup.rig.now() - start;
    const auto bus = setup.rig.busStatistics();
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    state.counters["virtual_us"] = double(elapsed) / double(state.iterations()) / double(w98::Clock::kMicrosecond);
    state.counters["bus_fraction"] = bus.bulkLimitFraction(elapsed);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}
BENCHMARK(BM_PrintRequest)
    ->ArgName("bytes")
    ->Arg(1024)
    ->Arg(4096)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

void BM_PrintJob(benchmark::State& state) {
  const uint32_t maxTransfer = uint32_t(state.range(0));
  const auto job = bench::jobData(1 << 20);
  try {
    PrintSetup setup(maxTransfer);
    w98::Ticks elapsed = 0;
    double fraction = 0;
    for (auto _ : state) {
      const auto f = bench::printJob(setup.rig, setup.handle, job, maxTransfer);
      elapsed += f.elapsed;
      fraction += f.busFraction();
    }
    const double jobs = double(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(job.size()));
    state.counters["virtual_ms"] = double(elapsed) / jobs / double(w98::Clock::kMillisecond);
    state.counters["bus_fraction"] = fraction / jobs;
    state.counters["virtual_MBps"] = double(job.size()) * jobs / (double(elapsed) / double(w98::Clock::kSecond)) / 1e6;
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}
BENCHMARK(BM_PrintJob)
    ->ArgName("max_transfer")
    ->Arg(1024)
    ->Arg(4096)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
