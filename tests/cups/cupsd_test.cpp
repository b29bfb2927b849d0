// The whole path through a real, private cupsd on a loopback port: lpinfo finds the cable by its device
// ID, lpadmin adds the queue, lp prints, the simulated printer gets the job byte for byte, lpstat says done.
#include <unistd.h>
#include <gtest/gtest.h>

#include <fstream>

#include "private_cupsd.h"

namespace ostrolink::testing {
namespace {

using namespace std::chrono_literals;

TEST(CupsScheduler, FindsTheCableAddsAQueueAndPrintsAJobByteForByte) {
    UsbfsCables cables;
    cables.add({.serialNumber = "OSL0001"});
    PrivateCupsd cupsd(cables, OSTROLINK_CUPS_BACKEND);
    ASSERT_TRUE(cupsd.waitRunning(20s)) << cupsd.errorLog();

    const auto devices = cupsd.run({"lpinfo", "-l", "-v"});
    ASSERT_EQ(devices.exit, 0) << devices.out << cupsd.errorLog();
    const std::string uri = "ostrolink://Hanwell/LaserPress%206?serial=OSL0001";
    EXPECT_NE(devices.out.find("uri = " + uri), std::string::npos) << devices.out;
    EXPECT_NE(devices.out.find("make-and-model = Hanwell LaserPress 6"), std::string::npos) << devices.out;
    EXPECT_NE(devices.out.find("device-id = " + sim::PrinterConfig{}.deviceId), std::string::npos) << devices.out;

    const auto added = cupsd.run({"lpadmin", "-p", "laser", "-E", "-v", uri, "-m", "raw"});
    ASSERT_EQ(added.exit, 0) << added.out << cupsd.errorLog();

    std::vector<uint8_t> job(300000);
    for (std::size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i * 7 + i / 1000);
    const std::string path = ::testing::TempDir() + "/cups_scheduler_job." + std::to_string(getpid());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(job.data()), job.size());
    const auto queued = cupsd.run({"lp", "-d", "laser", "-o", "raw", path});
    ASSERT_EQ(queued.exit, 0) << queued.out << cupsd.errorLog();
    EXPECT_NE(queued.out.find("laser-1"), std::string::npos) << queued.out;

    EXPECT_TRUE(eventually([&] { return cupsd.run({"lpstat", "-W", "completed", "-o", "laser"}).out.find("laser-1") !=
                                        std::string::npos; },
                           60s, 100ms))
        << cupsd.errorLog();
    std::remove(path.c_str());
    EXPECT_EQ(cables.printed(0), job);
}

}  // namespace
}  // namespace ostrolink::testing
