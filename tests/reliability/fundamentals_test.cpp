// Device-fundamentals fuzzing of the open device: zero-length buffers for every function code of the
// device type's range and methods, seeded random control codes, lengths and contents, open/close storms,
// opens of sub-paths, creates from several threads at once, and opens racing the cable's removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "scenarios.h"
#include "include/oslnk_ioctl.h"

namespace rel {
namespace {

constexpr char kFirstCablePath[] = "\\\\.\\KVUSB1";

uint32_t CtlCode(uint32_t deviceType, uint32_t function, uint32_t method, uint32_t access)
{
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

bool IsDriverCode(uint32_t code)
{
    return code >= IOCTL_KVUSB_WRITE_REGISTER && code <= IOCTL_KVUSB_RECOVER && (code & 3) == 0;
}

// Codes that take no buffer at all and therefore succeed on an open, started device.
bool NeedsNoBuffer(uint32_t code)
{
    return code == IOCTL_KVUSB_SOFT_RESET || code == IOCTL_KVUSB_RESET_PIPE || code == IOCTL_KVUSB_ABORT_PIPES ||
           code == IOCTL_KVUSB_RECOVER;
}

class Fundamentals : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig_ = std::make_unique<Rig>("fundamentals");
        rig_->plug();
        baseline_ = rig_->pool().outstanding(w98::kDriverPoolTag).size();
    }
    void TearDown() override
    {
        const auto problems = rig_->finish();
        for (const auto& p : problems) ADD_FAILURE() << p;
    }
    // Driver memory while no handle is open must come back to what the started device holds.
    void ExpectNoGrowth(const std::string& when)
    {
        EXPECT_EQ(rig_->pool().outstanding(w98::kDriverPoolTag).size(), baseline_) << when;
    }
    Rig& rig() { return *rig_; }
    std::unique_ptr<Rig> rig_;
    size_t baseline_ = 0;
};

TEST_F(Fundamentals, ZeroLengthBuffersForEveryFunctionMethodAndAccess)
{
    auto opened = rig().io().open(kFirstCablePath);
    ASSERT_EQ(opened.status, kSuccess);
    const uint32_t deviceTypes[] = {0x22, 0x2A, 0x00, 0x01, 0x17, 0xFFFF};
    std::vector<uint32_t> functions = {0x000, 0x001, 0x7FF, 0x810, 0x811, 0xFFF};
    for (uint32_t f = 0x800; f <= 0x80F; ++f) functions.push_back(f);
    uint64_t sent = 0;
    for (uint32_t type : deviceTypes)
        for (uint32_t function : functions)
            for (uint32_t method = 0; method < 4; ++method)
                for (uint32_t access : {0u, 1u, 3u}) {
                    const uint32_t code = CtlCode(type, function, method, access);
                    const auto r = rig().io().deviceControl(opened.handle, code, nullptr, 0, nullptr, 0);
                    ++sent;
                    const NtStatus expected = IsDriverCode(code) && NeedsNoBuffer(code) ? kSuccess : kInvalidParameter;
                    EXPECT_EQ(r.status, expected) << "code " << StatusText(static_cast<NtStatus>(code));
                    EXPECT_EQ(r.information, 0u) << "code " << StatusText(static_cast<NtStatus>(code));
                }
    // Zero-length reads and writes are refused too, and nothing reached the printer.
    EXPECT_EQ(rig().io().write(opened.handle, nullptr, 0).status, kInvalidParameter);
    uint8_t none = 0;
    EXPECT_EQ(rig().io().read(opened.handle, &none, 0).status, kInvalidParameter);
    EXPECT_TRUE(rig().printed(1).empty());
    EXPECT_EQ(rig().io().close(opened.handle), kSuccess);
    ExpectNoGrowth("after the zero-length requests");
    RunLog log;
    ExpectPrintWorks(rig(), log, 1, "a job after the zero-length requests");
    for (const auto& p : log.problems) ADD_FAILURE() << p;
    Remember("zero-length control requests: " + std::to_string(sent) + " codes sent");
}

// Random codes, lengths and contents. What must hold for every request: the status is success (buffers
// accepted) or invalid parameter, no byte comes back in the count, nothing is written past the output
// length or past the bytes the code returns, and what the printer got is exactly what the successful
// writes carried.
class SeededControlRequests : public Fundamentals, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SeededControlRequests, RandomCodesAndLengthsAreServedOrRefusedCleanly)
{
    std::mt19937 random(GetParam());
    auto opened = rig().io().open(kFirstCablePath);
    ASSERT_EQ(opened.status, kSuccess);
    w98::UserIo::Handle handle = opened.handle;
    std::vector<uint8_t> written;  // what the successful writes carried, in order
    const uint32_t lengths[] = {0, 1, 2, 6, 7, 8, 63, 64, 1023, 1024, 1025, 4096, 65535, 65536, 70000};
    auto pickLength = [&] {
        return random() % 3 == 0 ? static_cast<uint32_t>(random() % 3000) : lengths[random() % std::size(lengths)];
    };
    constexpr uint8_t kGuard = 0xA5;
    constexpr int kRequests = 300;
    int accepted = 0;
    for (int i = 0; i < kRequests; ++i) {
        const std::string where = "seed " + std::to_string(GetParam()) + " request " + std::to_string(i);
        if (random() % 6 == 0) {
            // A write of a random length now and then: refused or carried whole.
            const uint32_t length = random() % 1600;
            std::vector<uint8_t> data(length);
            for (auto& b : data) b = static_cast<uint8_t>(random());
            const auto w = rig().io().write(handle, data.data(), length);
            if (w.status == kSuccess) {
                EXPECT_EQ(w.information, length) << where;
                written.insert(written.end(), data.begin(), data.end());
            } else {
                EXPECT_EQ(w.status, kInvalidParameter) << where;
                EXPECT_EQ(w.information, 0u) << where;
                EXPECT_TRUE(length == 0 || length > 1024) << where << ": a write of " << length << " bytes refused";
            }
            continue;
        }
        uint32_t code;
        const uint32_t pick = random() % 10;
        if (pick < 7) code = OSLNK_IOCTL_CODE(random() % OSLNK_IOCTL_COUNT);
        else if (pick < 9) code = CtlCode(0x22, 0x800 + random() % 32, random() % 4, random() % 4);
        else code = static_cast<uint32_t>(random());
        // Registers that steer the printer's lines stay out: a held nInit would stop the printer for good.
        const uint32_t inLength = pickLength();
        const uint32_t outLength = pickLength();
        std::vector<uint8_t> in(inLength + 1);
        for (auto& b : in) b = static_cast<uint8_t>(random());
        if (code == IOCTL_KVUSB_WRITE_REGISTER && inLength >= 1 && (in[0] == 2 || in[0] >= 6)) in[0] = 0;
        if (code == IOCTL_KVUSB_SELECT_INTERFACE && inLength >= 2 && random() % 2 == 0) in[0] = 2, in[1] = 0;
        std::vector<uint8_t> out(outLength + 32, kGuard);
        const auto r = rig().io().deviceControl(handle, code, inLength ? in.data() : nullptr, inLength,
                                                outLength ? out.data() : nullptr, outLength);
        if (r.status == kSuccess) {
            ++accepted;
        } else {
            EXPECT_EQ(r.status, kInvalidParameter) << where << " code " << StatusText(static_cast<NtStatus>(code));
        }
        // How much of the output the code returns (and may touch).
        size_t mayWrite = 0;
        if (r.status == kSuccess && outLength != 0) {
            if (code == IOCTL_KVUSB_READ_REGISTERS) mayWrite = OSLNK_REGISTER_SNAPSHOT_SIZE;
            else if (code == IOCTL_KVUSB_GET_PORT_STATUS) mayWrite = OSLNK_PORT_STATUS_SIZE;
            else if (code == IOCTL_KVUSB_GET_DEVICE_ID) mayWrite = outLength % 65536;
        }
        EXPECT_EQ(r.information, mayWrite) << where << " code " << StatusText(static_cast<NtStatus>(code));
        const auto touched = std::find_if(out.begin() + static_cast<std::ptrdiff_t>(mayWrite), out.end(),
                                          [](uint8_t b) { return b != kGuard; });
        EXPECT_EQ(touched, out.end()) << where << " code " << StatusText(static_cast<NtStatus>(code)) << " out "
                                      << outLength << ": byte " << (touched - out.begin()) << " written";
        if (code == IOCTL_KVUSB_SELECT_INTERFACE && r.status == kSuccess) {
            // New pipe records are closed: open the device again to go on writing.
            EXPECT_EQ(rig().io().close(handle), kSuccess);
            auto again = rig().io().open(kFirstCablePath);
            ASSERT_EQ(again.status, kSuccess) << where;
            handle = again.handle;
        }
    }
    EXPECT_GT(accepted, kRequests / 10) << "too few requests got past the checks to test anything";
    EXPECT_EQ(rig().printed(1), written) << "the printer did not get exactly what the successful writes carried";

    // Back to the driver's configuration and register set-up, then a job must go through.
    const OSLNK_INTERFACE_SELECT select{2, 0};
    EXPECT_EQ(rig().io().deviceControl(handle, IOCTL_KVUSB_SELECT_INTERFACE, &select, 2, nullptr, 0).status, kSuccess);
    uint8_t id[4];
    EXPECT_EQ(rig().io().deviceControl(handle, IOCTL_KVUSB_GET_DEVICE_ID, nullptr, 0, id, sizeof id).status, kSuccess);
    EXPECT_EQ(rig().io().close(handle), kSuccess);
    ExpectNoGrowth("after the random requests");
    RunLog log;
    ExpectPrintWorks(rig(), log, 1, "a job after the random requests");
    for (const auto& p : log.problems) ADD_FAILURE() << p;
    Remember("seeded control requests, seed " + std::to_string(GetParam()) + ": " + std::to_string(kRequests) +
             " requests, " + std::to_string(accepted) + " accepted");
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededControlRequests, ::testing::Values(1u, 2u, 3u, 20261207u));

TEST_F(Fundamentals, OpenCloseStormStaysExclusiveAndLeaksNothing)
{
    std::mt19937 random(42);
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        auto first = rig().io().open(kFirstCablePath);
        ASSERT_EQ(first.status, kSuccess) << "round " << i;
        // One open at a time, whoever refuses the second (the I/O manager or the driver).
        auto second = rig().io().open(kFirstCablePath);
        EXPECT_TRUE(second.status == kAccessDenied || second.status == kObjectNameCollision)
            << "round " << i << ": second open ended " << StatusText(second.status);
        if (second.status == kSuccess) rig().io().close(second.handle);
        if (random() % 4 == 0) {
            const auto data = JobData(1 + random() % 1024, i);
            const auto w = rig().io().write(first.handle, data.data(), static_cast<uint32_t>(data.size()));
            EXPECT_EQ(w.status, kSuccess) << "round " << i;
        }
        EXPECT_EQ(rig().io().close(first.handle), kSuccess) << "round " << i;
        if (i % 50 == 0) ExpectNoGrowth("round " + std::to_string(i));
    }
    ExpectNoGrowth("after the storm");
    EXPECT_EQ(rig().io().openHandles(), 0u);
    Remember("open/close storm: " + std::to_string(kRounds) + " rounds");
}

TEST_F(Fundamentals, OpensOfSubPathsStayExclusiveAndOtherNamesFail)
{
    // Paths below the device: whatever the answer, exclusivity holds and nothing leaks.
    const char* subPaths[] = {"\\\\.\\KVUSB1\\x", "\\\\.\\KVUSB1\\", "\\\\.\\KVUSB1\\a\\b\\c", "\\\\.\\kvusb1",
                              "\\\\.\\KVUSB1\\..\\KVUSB2", "\\\\.\\KVUSB1\\LPT1"};
    for (const char* path : subPaths) {
        auto opened = rig().io().open(path);
        if (opened.status != kSuccess) {
            EXPECT_LT(opened.status, 0) << path;
            auto plain = rig().io().open(kFirstCablePath);
            EXPECT_EQ(plain.status, kSuccess) << path << ": a refused sub-path open left the device taken";
            if (plain.status == kSuccess) rig().io().close(plain.handle);
            continue;
        }
        auto plain = rig().io().open(kFirstCablePath);
        EXPECT_NE(plain.status, kSuccess) << path << ": a second open went through beside the sub-path";
        if (plain.status == kSuccess) rig().io().close(plain.handle);
        const uint8_t byte = 0x21;
        const auto w = rig().io().write(opened.handle, &byte, 1);
        EXPECT_TRUE(w.status == kSuccess || w.status < 0) << path;
        EXPECT_EQ(rig().io().close(opened.handle), kSuccess) << path;
    }
    // Names that lead nowhere.
    for (const char* path : {"\\\\.\\KVUSB2", "\\\\.\\KVUSB", "\\\\.\\KVUSB10", "\\\\.\\KVUSB1x", "\\\\.\\", "KVUSB1", ""}) {
        auto opened = rig().io().open(path);
        EXPECT_LT(opened.status, 0) << "\"" << path << "\" opened";
        if (opened.status == kSuccess) rig().io().close(opened.handle);
    }
    ExpectNoGrowth("after the sub-path opens");
    EXPECT_EQ(rig().io().openHandles(), 0u);
}

TEST_F(Fundamentals, ConcurrentCreatesAdmitOneAtATime)
{
    constexpr int kRounds = 40;
    constexpr int kThreads = 4;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<int> admitted{0};
        std::vector<w98::UserIo::Handle> handles(kThreads, w98::UserIo::kInvalidHandle);
        std::vector<NtStatus> statuses(kThreads, 1);
        {
            std::vector<w98::Kernel::Thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.push_back(rig().kernel().spawn(
                    [&, t] {
                        auto opened = rig().io().open(kFirstCablePath);
                        statuses[t] = opened.status;
                        if (opened.status == kSuccess) {
                            handles[t] = opened.handle;
                            ++admitted;
                        }
                    },
                    "create " + std::to_string(t)));
            for (auto& t : threads) t.join();
        }
        EXPECT_EQ(admitted.load(), 1) << "round " << round;
        for (int t = 0; t < kThreads; ++t) {
            if (statuses[t] == kSuccess) continue;
            EXPECT_TRUE(statuses[t] == kAccessDenied || statuses[t] == kObjectNameCollision)
                << "round " << round << " thread " << t << ": " << StatusText(statuses[t]);
        }
        for (auto h : handles)
            if (h != w98::UserIo::kInvalidHandle) {
                EXPECT_EQ(rig().io().close(h), kSuccess);
            }
    }
    ExpectNoGrowth("after the concurrent creates");
    Remember("concurrent creates: " + std::to_string(kRounds) + " rounds of " + std::to_string(kThreads) + " threads");
}

// Opens and closes from two threads while the cable goes, pulled out or removed through the Device Manager: each open either gets
// the device (and its close succeeds) or is refused with a status that says the device is gone or taken;
// nothing is leaked, nothing is left pending, and the verifier sees no request on a freed device.
TEST(OpensRacingRemoval, EveryOpenEndsCleanly)
{
    constexpr int kRounds = 12;
    constexpr int kThreads = 2;
    constexpr int kAttempts = 300;
    int admittedTotal = 0;
    for (int round = 0; round < kRounds; ++round) {
        const bool pulled = round % 2 == 1;
        Rig rig("opens_racing_removal");
        const int cable = rig.plug();
        std::atomic<bool> gone{false};
        std::atomic<int> admitted{0};
        std::vector<std::vector<NtStatus>> refusals(kThreads);
        std::vector<NtStatus> badCloses;
        std::mutex badClosesLock;
        {
            std::vector<w98::Kernel::Thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.push_back(rig.kernel().spawn(
                    [&, t] {
                        for (int i = 0; i < kAttempts && !gone.load(); ++i) {
                            auto opened = rig.io().open(kFirstCablePath);
                            if (opened.status != kSuccess) {
                                refusals[t].push_back(opened.status);
                                continue;
                            }
                            ++admitted;
                            const NtStatus closed = rig.io().close(opened.handle);
                            if (closed != kSuccess) {
                                std::lock_guard lock(badClosesLock);
                                badCloses.push_back(closed);
                            }
                        }
                    },
                    "opener " + std::to_string(t)));
            const NtStatus removed = rig.machine().unplug(cable, pulled ? w98::Removal::Unplug : w98::Removal::Orderly);
            EXPECT_TRUE(removed == kSuccess || removed == kCancelled)
                << "round " << round << ": the removal ended " << StatusText(removed);
            gone = true;
            for (auto& t : threads) t.join();
        }
        EXPECT_TRUE(badCloses.empty()) << "round " << round << ": a close ended " << StatusText(badCloses.front());
        for (const auto& statuses : refusals)
            for (NtStatus status : statuses)
                EXPECT_TRUE(status == kObjectNameNotFound || status == kNoSuchDevice || status == kDeletePending ||
                            status == kAccessDenied || status == kObjectNameCollision)
                    << "round " << round << ": an open ended " << StatusText(status);
        EXPECT_LT(rig.io().open(kFirstCablePath).status, 0) << "round " << round << ": the device opened after its removal";
        EXPECT_EQ(rig.io().openHandles(), 0u) << "round " << round;
        for (const auto& p : rig.finish()) ADD_FAILURE() << "round " << round << ": " << p;
        admittedTotal += admitted.load();
    }
    Remember("opens racing removal: " + std::to_string(kRounds) + " rounds of " + std::to_string(kThreads) +
             " threads, " + std::to_string(admittedTotal) + " opens admitted");
}

}  // namespace
}  // namespace rel
