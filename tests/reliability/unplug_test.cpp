// Unplugging at every point of a print job (pulled out, and removed through the Device Manager): after each
// request the bus sees, and at every frame of a job on a slow printer, where a transfer may be cut halfway. The print rule must hold
// every time: the job reached the printer whole, or it is reported failed with exactly the bytes the
// printer took.
#include <gtest/gtest.h>

#include <string>

#include "campaign.h"

namespace rel {
namespace {

constexpr uint32_t kChunk = 1024;  // the port monitor's requests: MaxTransferSize by default
constexpr size_t kJob = 6 * kChunk;

struct UnplugOutcome {
    ostrolink::PrintJobResult result;
    std::vector<uint8_t> printed;
    std::vector<std::string> problems;
};

// Prints `job` and pulls the cable `after` its first request reached the bus (before that the monitor is
// still looking its port up), or once the job is over.
UnplugOutcome PrintAndUnplug(Rig& rig, w98::CableOptions options, const std::vector<uint8_t>& job, bool pulled,
                             w98::Ticks after)
{
    UnplugOutcome out;
    const int cable = rig.plug(std::move(options));
    const uint64_t jobFirst = rig.usb().nextRequestIndex();
    auto printer = rig.kernel().spawn([&] { out.result = rig.print("KVUSB1", job); }, "print job");
    const w98::Ticks step = w98::Clock::kMillisecond / 4;
    rig.waitFor([&] { return rig.usb().nextRequestIndex() > jobFirst || printer.finished(); }, 60 * w98::Clock::kSecond,
                step);
    const w98::Ticks start = rig.now();
    rig.waitFor([&] { return rig.now() >= start + after || printer.finished(); }, after + w98::Clock::kSecond, step);
    const NtStatus removed = rig.machine().unplug(cable, pulled ? w98::Removal::Unplug : w98::Removal::Orderly);
    printer.join();
    out.printed = rig.printed(cable);
    // The monitor's handle may still be open when the remove arrives: then the device lingers.
    if (removed != kSuccess && removed != kCancelled)
        out.problems.push_back("the removal ended " + StatusText(removed));
    return out;
}

class UnplugDuringJob : public ::testing::TestWithParam<bool> {};

TEST_P(UnplugDuringJob, AfterEveryRequestOfTheJobKeepsThePrintRule)
{
    const bool pulled = GetParam();
    const auto job = JobData(kJob, 5);
    uint64_t failed = 0;
    // Request k of the job never gets an answer: the cable goes while k requests are done and one is in flight.
    for (uint64_t k = 0; k <= kJob / kChunk; ++k) {
        Rig rig("unplug_request");
        UnplugOutcome out;
        {
            // The plug's own requests come first; count the job's from the moment it starts.
            const int cable = rig.plug(Rig::cableOptions());
            const uint64_t jobFirst = rig.usb().nextRequestIndex();
            w98::FaultRule hang;
            hang.match.requestIndex = jobFirst + k;
            hang.action = w98::FaultAction::Hang;
            rig.usb().faults().add(hang);
            auto printer = rig.kernel().spawn([&] { out.result = rig.print("KVUSB1", job); }, "print job");
            rig.waitFor([&] { return rig.usb().nextRequestIndex() > jobFirst + k || printer.finished(); },
                        60 * w98::Clock::kSecond, w98::Clock::kMillisecond / 4);
            const NtStatus removed = rig.machine().unplug(cable, pulled ? w98::Removal::Unplug : w98::Removal::Orderly);
            printer.join();
            out.printed = rig.printed(cable);
            if (removed != kSuccess && removed != kCancelled) out.problems.push_back("removal ended " + StatusText(removed));
        }
        // The request in flight never reached the cable: the count must be exact.
        const std::string breach = CheckIntegrity(out.result, job, out.printed, 0);
        EXPECT_EQ(breach, "") << "unplug with request " << k << " in flight";
        if (k < kJob / kChunk) {
            // Exactly the k requests before the one in flight reached the printer, and were reported.
            EXPECT_TRUE(out.result.failed) << "request " << k;
            EXPECT_EQ(out.result.bytes, k * kChunk) << "request " << k;
            EXPECT_EQ(out.printed.size(), k * kChunk) << "request " << k;
        } else {
            EXPECT_FALSE(out.result.failed) << "the cable went after the whole job";
        }
        auto problems = rig.finish();
        problems.insert(problems.end(), out.problems.begin(), out.problems.end());
        for (const auto& p : problems) ADD_FAILURE() << "unplug with request " << k << " in flight: " << p;
        failed += (!breach.empty() || !problems.empty()) ? 1 : 0;
    }
    Remember(std::string("unplug after each request (") + (pulled ? "unplug" : "remove") + "): " +
             std::to_string(kJob / kChunk + 1) + " points, " + std::to_string(failed) + " failed runs");
}

TEST_P(UnplugDuringJob, AtEveryFrameOfASlowJobKeepsThePrintRule)
{
    const bool pulled = GetParam();
    const auto job = JobData(4 * kChunk, 9);
    w98::CableOptions options = Rig::cableOptions();
    options.printer.busyEveryBytes = 100;  // busy for a while after every 100 bytes: transfers span frames
    options.printer.busyPollsPerBurst = 2;

    // How long the job takes without an unplug.
    w98::Ticks duration = 0;
    {
        Rig rig("slow_job");
        rig.plug(options);
        const auto result = rig.print("KVUSB1", job);
        ASSERT_FALSE(result.failed) << StatusText(result.status);
        duration = result.ticks;
        EXPECT_TRUE(rig.finish().empty());
    }
    ASSERT_GT(duration, 4 * w98::Clock::kMillisecond) << "the slow printer did not slow the job";

    const w98::Ticks step = w98::Clock::kMillisecond * static_cast<w98::Ticks>(CampaignStride());
    uint64_t points = 0, failed = 0, partial = 0;
    for (w98::Ticks at = 0; at <= duration + step; at += step) {
        Rig rig("unplug_frame");
        UnplugOutcome out = PrintAndUnplug(rig, options, job, pulled, at);
        ++points;
        bool cut = false;
        const std::string breach = CheckIntegrity(out.result, job, out.printed, kChunk, &cut);
        EXPECT_EQ(breach, "") << "unplug " << at / w98::Clock::kMicrosecond << " us into the job";
        partial += cut ? 1 : 0;
        auto problems = rig.finish();
        problems.insert(problems.end(), out.problems.begin(), out.problems.end());
        for (const auto& p : problems) ADD_FAILURE() << "unplug " << at / w98::Clock::kMicrosecond << " us in: " << p;
        failed += (!breach.empty() || !problems.empty()) ? 1 : 0;
    }
    Remember(std::string("unplug at every frame of a slow job (") + (pulled ? "unplug" : "remove") + "): " +
             std::to_string(points) + " points, " + std::to_string(partial) + " cut inside a request, " +
             std::to_string(failed) + " failed runs");
}

INSTANTIATE_TEST_SUITE_P(Removal, UnplugDuringJob, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Unplug" : "Remove"; });

}  // namespace
}  // namespace rel
