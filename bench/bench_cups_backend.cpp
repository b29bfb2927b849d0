// The CUPS backend printing a job from standard input, as cupsd runs it, through real libusb to a simulated
// cable behind an emulated usbfs node.
//
//  - BM_CupsBackendPrint/<MiB>: one job of that size per iteration. Counters: CPU time of the backend process
//    (user + system, its start and cable lookup included) per MiB printed, and the most bulk OUT transfers
//    the emulated cable saw in flight at once.
#include <benchmark/benchmark.h>
#include <cups/backend.h>
#include <sys/resource.h>

#include <chrono>
#include <vector>

#include "backend_run.h"
#include "usbfs_cable.h"

namespace {

using namespace ostrolink::testing;

double childrenCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_CupsBackendPrint(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
    std::vector<uint8_t> job(size);
    for (std::size_t i = 0; i < size; ++i) job[i] = static_cast<uint8_t>(i * 31 + i / 4093);
    UsbfsCables cables;
    cables.add({.serialNumber = "OSL0001"});
    const std::string uri = "ostrolink://Hanwell/LaserPress%206?serial=OSL0001";
    Environment env = cables.childEnvironment();
    env.emplace_back("DEVICE_URI", uri);
    double cpu = 0;
    for (auto _ : state) {
        const double before = childrenCpuSeconds();
        BackendRun backend(OSTROLINK_CUPS_BACKEND, {uri, "1", "bench", "job", "1", ""}, env);
        backend.writeInput(job);
        backend.closeInput();
        if (backend.waitExit(std::chrono::minutes(2)) != CUPS_BACKEND_OK) {
            state.SkipWithError(("the backend failed: " + backend.log()).c_str());
            return;
        }
        cpu += childrenCpuSeconds() - before;
    }
    const double mib = double(size >> 20) * double(state.iterations());
    state.counters["backend_cpu_ms_per_MiB"] = cpu * 1e3 / mib;
    state.counters["queued_max"] = cables.stats(0).maxBulkOutInFlight;
    state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}
BENCHMARK(BM_CupsBackendPrint)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
