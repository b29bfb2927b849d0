// From plugging a cable to its printer enumerated: the bus enumerates the cable, Plug and Play loads and
// starts the driver (soft reset, descriptors, configuration, the device-ID exchange, the controller set-up),
// and the driver reports the printer as its child. The cable is taken out again between iterations, outside
// the timed part.
//
// Arguments: ID length in bytes, timing model on (1) or off (0).
#include <benchmark/benchmark.h>

#include <exception>
#include <string>

#include "rig.h"

namespace {

void BM_PlugToPrinter(benchmark::State& state) {
  const size_t idLength = size_t(state.range(0));
  const bool timed = state.range(1) != 0;
  bench::Rig rig("plug");
  w98::Ticks elapsed = 0;
  uint64_t plugs = 0;
  for (auto _ : state) {
    const w98::Ticks start = rig.now();
    int number = 0;
    try {
      number = rig.plug({idLength, timed});
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    elapsed += rig.now() - start;
    ++plugs;
    state.PauseTiming();
    const bool enumerated = rig.printerHardwareId(number).has_value();
    rig.unplug(number);
    state.ResumeTiming();
    if (!enumerated) {
      state.SkipWithError("the printer was not enumerated");
      break;
    }
  }
  if (plugs == 0) return;
  state.counters["virtual_ms"] = double(elapsed) / double(plugs) / double(w98::Clock::kMillisecond);
}

BENCHMARK(BM_PlugToPrinter)
    ->ArgNames({"id_bytes", "timing_model"})
    ->Args({200, 1})
    ->Args({200, 0})
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
