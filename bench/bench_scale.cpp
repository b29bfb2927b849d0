// How the system grows with the number of cables on one machine.
//
//  - BM_PlugCables/N: plug N cables into a fresh machine (each one enumerated with its printer); host time
//    per cable, driver pool bytes per cable, and the process's growth per cable: its resident set and its
//    heap. The bus keeps a traffic log of every transfer (for captures); with keep_log 0 it is cleared after
//    each plug, which shows what the cables themselves hold.
//  - BM_ConcurrentPrint/N: N cables print 64 KiB each at once, each from its own thread, in 4096-byte
//    requests; aggregate host throughput and virtual throughput (the cables share one bus).
//
// After the runs the program prints, for each family, the exponent k of cost ~ N^k fitted over the counts.
// 128 cables are as many as the driver has port numbers; the machine's first bus takes 126 of them and its
// second host controller the rest.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rig.h"

namespace {

constexpr size_t kIdLength = 200;

void BM_PlugCables(benchmark::State& state) {
  const int count = int(state.range(0));
  const bool keepLog = state.range(1) != 0;
  double hostSeconds = 0, driverPool = 0, allPool = 0;
  double rssGrowth = 0;  // the largest seen: later iterations reuse memory freed by earlier ones
  double heapGrowth = 0, logRecords = 0;
  w98::Ticks elapsed = 0;
  uint64_t rounds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<bench::Rig>("scale");
    const uint64_t rssBefore = bench::residentBytes().value_or(0);
    const double heapBefore = double(bench::heapBytesInUse());
    const w98::Ticks start = rig->now();
    state.ResumeTiming();
    const auto hostStart = std::chrono::steady_clock::now();
    try {
      for (int i = 0; i < count; ++i) {
        const size_t logged = rig->trafficRecords();
        rig->plug({kIdLength, true});
        logRecords += double(rig->trafficRecords() - logged);
        if (!keepLog) rig->clearTraffic();
      }
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    hostSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - hostStart).count();
    state.PauseTiming();
    elapsed += rig->now() - start;
    const auto present = rig->machine().presentCables();
    const bool allEnumerated = int(present.size()) == count &&
                               std::all_of(present.begin(), present.end(),
                                           [&](int n) { return rig->printerHardwareId(n).has_value(); });
    driverPool += double(rig->kernel().pool().outstandingBytes(w98::kDriverPoolTag));
    allPool += double(rig->kernel().pool().outstandingBytes());
    const uint64_t rssAfter = bench::residentBytes().value_or(rssBefore);
    rssGrowth = std::max(rssGrowth, double(rssAfter > rssBefore ? rssAfter - rssBefore : 0));
    heapGrowth += double(bench::heapBytesInUse()) - heapBefore;
    ++rounds;
    rig.reset();
    state.ResumeTiming();
    if (!allEnumerated) {
      state.SkipWithError("not every cable's printer was enumerated");
      break;
    }
  }
  if (rounds == 0) return;
  const double cables = double(rounds) * count;
  state.counters["cables"] = count;
  state.counters["host_ms_per_cable"] = hostSeconds * 1e3 / cables;
  state.counters["virtual_ms"] = double(elapsed) / double(rounds) / double(w98::Clock::kMillisecond);
  state.counters["pool_bytes_per_cable"] = driverPool / cables;
  state.counters["all_pool_bytes_per_cable"] = allPool / cables;
  state.counters["rss_growth_per_cable"] = rssGrowth / count;
  state.counters["heap_per_cable"] = heapGrowth / cables;
  state.counters["keep_log"] = keepLog;
  state.counters["log_records_per_cable"] = logRecords / cables;
}
BENCHMARK(BM_PlugCables)
    ->ArgNames({"cables", "keep_log"})
    ->ArgsProduct({{1, 16, 128}, {1, 0}})
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

void BM_ConcurrentPrint(benchmark::State& state) {
  const int count = int(state.range(0));
  constexpr uint32_t kRequest = 4096;
  const auto job = bench::jobData(64 * 1024);
  try {
    bench::Rig rig("concurrent");
    rig.setMaxTransferSize(kRequest);
    std::vector<bench::Handle> handles;
    for (int i = 0; i < count; ++i) handles.push_back(rig.open(rig.portName(rig.plug({kIdLength, false}))));
    w98::Ticks elapsed = 0;
    double fraction = 0;
    for (auto _ : state) {
      const auto f = bench::printConcurrently(rig, handles, job, kRequest);
      elapsed += f.elapsed;
      fraction += f.busFraction();
    }
    for (auto h : handles) rig.close(h);
    const double rounds = double(state.iterations());
    const double bytes = double(job.size()) * count * rounds;
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["cables"] = count;
    state.counters["virtual_MBps"] = bytes / (double(elapsed) / double(w98::Clock::kSecond)) / 1e6;
    state.counters["bus_fraction"] = fraction / rounds;
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}
BENCHMARK(BM_ConcurrentPrint)
    ->ArgName("cables")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// Console output as usual (coloured on a terminal), and the runs kept for the growth summary: the medians
// when the benchmarks were repeated, else the single runs.
class GrowthReporter : public benchmark::ConsoleReporter {
 public:
  GrowthReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      auto cables = run.counters.find("cables");
      if (cables == run.counters.end()) continue;
      Point p{cables->second.value, run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), {}};
      for (const auto& [name, counter] : run.counters) p.counters[name] = counter.value;
      std::string family = run.run_name.function_name;
      if (auto log = run.counters.find("keep_log"); log != run.counters.end())
        family += log->second.value != 0 ? " (traffic log kept)" : " (traffic log cleared)";
      (median ? medians_ : singles_)[family].push_back(p);
    }
  }

  void summarize() const {
    for (const auto& [family, points] : medians_.empty() ? singles_ : medians_) {
      std::vector<double> counts;
      for (const auto& p : points) counts.push_back(p.count);
      auto line = [&](const std::string& what, auto cost) {
        std::vector<double> costs;
        for (const auto& p : points) costs.push_back(cost(p));
        auto k = bench::growthExponent(counts, costs);
        if (k) std::printf("  %-28s ~ cables^%.2f\n", what.c_str(), *k);
      };
      std::printf("%s: growth with the number of cables\n", family.c_str());
      if (points.size() < 2) {
        std::printf("  (one count only: nothing to fit)\n");
        continue;
      }
      line("real time per iteration", [](const Point& p) { return p.realTime; });
      line("process CPU per iteration", [](const Point& p) { return p.cpuTime; });
      for (const char* name : {"host_ms_per_cable", "pool_bytes_per_cable", "rss_growth_per_cable",
                               "heap_per_cable", "virtual_ms", "virtual_MBps",
                               "bytes_per_second"}) {
        if (points.front().counters.count(name))
          line(name, [name](const Point& p) { return p.counters.at(name); });
      }
    }
  }

 private:
  struct Point {
    double count;
    double realTime;
    double cpuTime;
    std::map<std::string, double> counters;
  };
  std::map<std::string, std::vector<Point>> singles_, medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GrowthReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summarize();
  benchmark::Shutdown();
  return 0;
}
