// The campaign's judges must themselves catch what they are there to catch: the print rule on made-up job
// outcomes, and a run's end check on a machine left with an open handle and a cable still in.
#include <gtest/gtest.h>

#include "rig.h"

namespace rel {
namespace {

ostrolink::PrintJobResult Outcome(bool failed, uint64_t bytes, NtStatus status)
{
    ostrolink::PrintJobResult r;
    r.failed = failed;
    r.bytes = bytes;
    r.status = status;
    return r;
}

std::vector<uint8_t> Prefix(const std::vector<uint8_t>& job, size_t n) { return {job.begin(), job.begin() + n}; }

TEST(PrintRule, AcceptsAWholeJobAndAnExactlyCountedFailure)
{
    const auto job = JobData(3000);
    EXPECT_EQ(CheckIntegrity(Outcome(false, 3000, kSuccess), job, job), "");
    EXPECT_EQ(CheckIntegrity(Outcome(true, 2048, kNoMemory), job, Prefix(job, 2048), 0), "");
    EXPECT_EQ(CheckIntegrity(Outcome(true, 0, kDeviceNotConnected), job, {}, 0), "");
}

TEST(PrintRule, RefusesWhatWouldMisleadTheUser)
{
    const auto job = JobData(3000);
    // Reported done, but the printer is short of bytes.
    EXPECT_NE(CheckIntegrity(Outcome(false, 3000, kSuccess), job, Prefix(job, 2999)), "");
    // Reported more than the printer took.
    EXPECT_NE(CheckIntegrity(Outcome(true, 2048, kNoMemory), job, Prefix(job, 1024)), "");
    // A failure reported with a success status.
    EXPECT_NE(CheckIntegrity(Outcome(true, 1024, kSuccess), job, Prefix(job, 1024)), "");
    // Bytes out of order at the printer.
    auto swapped = Prefix(job, 2048);
    std::swap(swapped[10], swapped[1500]);
    EXPECT_NE(CheckIntegrity(Outcome(true, 2048, kNoMemory), job, swapped), "");
    // More at the printer than the job holds (a repeated request).
    auto repeated = job;
    repeated.insert(repeated.end(), job.begin(), job.begin() + 100);
    EXPECT_NE(CheckIntegrity(Outcome(false, 3000, kSuccess), job, repeated), "");
}

TEST(PrintRule, ToleratesOnlyTheOneRequestCutByTheCable)
{
    const auto job = JobData(4096);
    bool cut = false;
    EXPECT_EQ(CheckIntegrity(Outcome(true, 1024, kDeviceNotConnected), job, Prefix(job, 1500), 1024, &cut), "");
    EXPECT_TRUE(cut);
    EXPECT_EQ(CheckIntegrity(Outcome(true, 1024, kDeviceNotConnected), job, Prefix(job, 2048), 1024, &cut), "");
    // A whole request more than that unreported is a lost count, not a cut.
    EXPECT_NE(CheckIntegrity(Outcome(true, 1024, kDeviceNotConnected), job, Prefix(job, 2049), 1024, &cut), "");
    // Where nothing can be cut, the count must be exact.
    EXPECT_NE(CheckIntegrity(Outcome(true, 1024, kNoMemory), job, Prefix(job, 1025), 0), "");
}

TEST(PrintRule, JobBytesTellTheirPosition)
{
    const auto job = JobData(8192, 3);
    // Two 1 KiB blocks of the job are never alike, so a repeated or lost block shows.
    for (size_t a = 0; a < 8; ++a)
        for (size_t b = a + 1; b < 8; ++b)
            EXPECT_FALSE(std::equal(job.begin() + a * 1024, job.begin() + (a + 1) * 1024, job.begin() + b * 1024))
                << a << " " << b;
}

TEST(RunEnd, CleansUpWhatTheScenarioLeftAndStaysQuiet)
{
    Rig rig("run_end");
    rig.plug();
    auto opened = rig.io().open("\\\\.\\KVUSB1");
    ASSERT_EQ(opened.status, kSuccess);
    // The handle and the cable are still there: the end closes and unplugs, and nothing is wrong.
    EXPECT_EQ(rig.finish(), std::vector<std::string>{});
}

TEST(RunEnd, ReportsWhatTheVerifierRecorded)
{
    Rig rig("run_end_report");
    rig.kernel().verifier().report(w98::Fault::DoubleCompletion, "made up for this test");
    const auto problems = rig.finish();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("made up for this test"), std::string::npos);
}

}  // namespace
}  // namespace rel
