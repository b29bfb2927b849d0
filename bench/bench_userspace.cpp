// The user-space driver printing through real libusb to a simulated cable behind an emulated usbfs node.
//
//  - BM_UserspacePrint/<transfer bytes>: 1 MiB jobs with 4 bulk transfers queued. Counters: CPU time of the
//    writing thread (library and libusb, the usbfs calls included) per MiB, CPU of the whole process (with
//    the emulated device's handler thread and umockdev's traffic) per MiB, and the most bulk OUT transfers in
//    flight at once as the library counted them (queued_max) and the most bulk OUT URBs the emulated device
//    held at once (libusb sends a transfer above 16 KiB as several URBs).
// libusb sees the emulated cable only under umockdev's preload library: without it, the program starts
// itself again with LD_PRELOAD set.
#include <benchmark/benchmark.h>

#include <sys/resource.h>


#include <ctime>
#include <optional>
#include <random>
#include <vector>

#include "ostrolink_usb.h"
#include "usbfs_cable.h"

namespace {

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_UserspacePrint(benchmark::State& state)
{
    constexpr std::size_t kJob = 1 << 20;
    std::vector<uint8_t> job(kJob);
    std::mt19937 random(7);
    for (auto& b : job) b = static_cast<uint8_t>(random());

    ostrolink::testing::UsbfsCables cables;
    ostrolink::testing::EmulatedCableSpec spec;
    spec.serialNumber = "BENCH";
    cables.add(spec);
    ostrolink::usb::Context context;
    ostrolink::usb::Cable cable(context, ostrolink::usb::CableSelector::bySerial("BENCH"));
    ostrolink::usb::WriteOptions options;
    options.transferSize = static_cast<std::size_t>(state.range(0));
    options.queueDepth = 4;

    unsigned maxQueued = 0;
    double threadCpu = 0, processCpu = 0;
    for (auto _ : state) {
        double t0 = threadCpuSeconds(), p0 = processCpuSeconds();
        auto result = cable.write(job, options);
        threadCpu += threadCpuSeconds() - t0;
        processCpu += processCpuSeconds() - p0;
        if (result.stop != ostrolink::usb::WriteStop::Done) {
            state.SkipWithError(ostrolink::usb::toString(result.stop));
            return;
        }
        maxQueued = std::max(maxQueued, result.maxQueued);
    }
    const double mib = double(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kJob));
    state.counters["writer_cpu_ms_per_MiB"] = threadCpu * 1e3 / mib;
    state.counters["process_cpu_ms_per_MiB"] = processCpu * 1e3 / mib;
    state.counters["queued_max"] = maxQueued;
    state.counters["device_saw_in_flight_max"] = cables.stats(0).maxBulkOutInFlight;
}
BENCHMARK(BM_UserspacePrint)->ArgName("transfer")->Arg(4096)->Arg(16384)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    ostrolink::testing::UsbfsCables::ensurePreloaded(argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
