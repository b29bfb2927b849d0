// The IEEE 1284 device-ID exchange through the driver (IOCTL_KVUSB_GET_DEVICE_ID): every signal edge is a
// control transfer, so the figures are control transfers per ID byte, virtual time on the bus's timing model
// and the host's CPU time per exchange.
//
// Arguments: ID length in bytes, timing model on (1: each control transfer costs its 1 ms frame) or off (0:
// control transfers complete at once, leaving the host's own cost).
#include <benchmark/benchmark.h>

#include <exception>
#include <string>

#include "rig.h"

namespace {

void BM_DeviceIdExchange(benchmark::State& state) {
  const size_t idLength = size_t(state.range(0));
  const bool timed = state.range(1) != 0;
  bench::Rig rig("device_id");
  bench::Handle handle;
  try {
    handle = rig.open(rig.portName(rig.plug({idLength, timed})));
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const std::string expected = bench::deviceIdText(idLength);

  uint64_t transfers = 0, rounds = 0;
  w98::Ticks elapsed = 0;
  for (auto _ : state) {
    const auto f = bench::readDeviceId(rig, handle);
    if (f.status != 0 || f.id != expected) {
      state.SkipWithError(("the exchange returned " + std::to_string(f.id.size()) + " bytes, not the ID").c_str());
      break;
    }
    transfers += f.controlTransfers;
    elapsed += f.elapsed;
    ++rounds;
  }
  rig.close(handle);
  if (rounds == 0) return;
  const double perRound = double(transfers) / double(rounds);
  state.counters["control_transfers"] = perRound;
  state.counters["transfers_per_id_byte"] = perRound / double(idLength);
  state.counters["virtual_ms"] = double(elapsed) / double(rounds) / double(w98::Clock::kMillisecond);
}

BENCHMARK(BM_DeviceIdExchange)
    ->ArgNames({"id_bytes", "timing_model"})
    ->Args({200, 1})
    ->Args({100, 1})
    ->Args({200, 0})
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
