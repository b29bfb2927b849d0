// Bulk endpoints: printing through the controller, NAKs, halts, the back channel, change signalling,
// and a whole device ID exchange through the cable's registers.
#include <gtest/gtest.h>

#include <thread>

#include <unistd.h>

#include "host1284.h"

using namespace sim;
using simtest::bytes;
using Bytes = std::vector<uint8_t>;

namespace {

Cable& configured(Cable& c) {
    Bytes none;
    EXPECT_TRUE(c.control({0x00, 9, 1, 0, 0}, none).ok());
    return c;
}

void writeReg(Cable& c, uint8_t reg, uint8_t value) {
    Bytes none;
    ASSERT_TRUE(c.control({0x40, 4, static_cast<uint16_t>(reg << 8 | value), 0, 0}, none).ok());
}

}  // namespace

TEST(BulkOut, NeedsAConfiguredOutEndpoint) {
    Cable c;
    const Bytes data = bytes("abc");
    EXPECT_EQ(c.bulkOut(data).status, BulkStatus::Error);
    EXPECT_EQ(c.bulkOut(0x01, data).status, BulkStatus::Error);
    configured(c);
    EXPECT_EQ(c.bulkOut(0x81, data).status, BulkStatus::Error) << "IN endpoint";
    EXPECT_EQ(c.bulkOut(0x02, data).status, BulkStatus::Error) << "no such endpoint";
    Bytes buf(8);
    EXPECT_EQ(c.bulkIn(0x01, buf).status, BulkStatus::Error) << "OUT endpoint";
    EXPECT_TRUE(c.printed().empty());
}

TEST(BulkOut, PrintsInOrder) {
    Cable c;
    configured(c);
    Bytes job;
    for (int i = 0; i < 1000; ++i) job.push_back(static_cast<uint8_t>(i * 7));
    std::size_t sent = 0;
    while (sent < job.size()) {
        const std::size_t n = std::min<std::size_t>(64, job.size() - sent);
        const auto r = c.bulkOut(std::span(job).subspan(sent, n));
        ASSERT_EQ(r.status, BulkStatus::Ack);
        ASSERT_EQ(r.length, n);
        sent += n;
    }
    EXPECT_EQ(c.printed(), job);
    EXPECT_EQ(c.bulkOut(std::span<const uint8_t>()).status, BulkStatus::Ack) << "zero-length packet";
    EXPECT_EQ(c.printed().size(), job.size());
}

TEST(BulkOut, PaperEmptyNaksUntilCleared) {
    Cable c;
    configured(c);
    int calls = 0;
    c.setChangeHandler([&] { ++calls; });
    c.setPaperEmpty(true);
    EXPECT_GE(calls, 1) << "lines changed";
    calls = 0;
    const Bytes data = bytes("page");
    EXPECT_EQ(c.bulkOut(data).status, BulkStatus::Nak);
    EXPECT_EQ(c.bulkOut(data).status, BulkStatus::Nak);
    EXPECT_EQ(calls, 0) << "nothing changes by itself while paper is out";
    EXPECT_FALSE(c.changesByItself());
    const auto before = c.changes();
    c.setPaperEmpty(false);
    EXPECT_GT(c.changes(), before);
    EXPECT_GE(calls, 1);
    const auto r = c.bulkOut(data);
    EXPECT_EQ(r.status, BulkStatus::Ack);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(c.printed(), data);
}

TEST(BulkOut, OfflineAndNoPrinterNak) {
    Cable c;
    configured(c);
    c.setOffline(true);
    EXPECT_EQ(c.bulkOut(bytes("x")).status, BulkStatus::Nak);
    c.setOffline(false);
    EXPECT_EQ(c.bulkOut(bytes("x")).status, BulkStatus::Ack);

    PrinterConfig none;
    none.attached = false;
    Cable empty({}, none);
    configured(empty);
    EXPECT_EQ(empty.bulkOut(bytes("x")).status, BulkStatus::Nak);
    EXPECT_FALSE(empty.changesByItself());
}

TEST(BulkOut, BusyForAWhileAsksForRetries) {
    PrinterConfig pc;
    pc.busyPolls = 3;
    Cable c({}, pc);
    configured(c);
    int calls = 0;
    c.setChangeHandler([&] { ++calls; });
    int naks = 0;
    BulkResult r;
    const Bytes data = bytes("retry");
    // A stack that retries only when told to.
    do {
        calls = 0;
        r = c.bulkOut(data);
        if (r.status == BulkStatus::Nak) ++naks;
    } while (r.status == BulkStatus::Nak && calls > 0 && naks < 100);
    EXPECT_EQ(naks, 3) << "each attempt is one poll";
    EXPECT_EQ(r.status, BulkStatus::Ack);
    EXPECT_EQ(c.printed(), data);
}

TEST(BulkOut, PrinterTakingBurstsAcceptsFewerBytes) {
    PrinterConfig pc;
    pc.busyEveryBytes = 10;
    pc.busyPollsPerBurst = 2;
    Cable c({}, pc);
    configured(c);
    Bytes job(25);
    for (std::size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>('a' + i);
    std::vector<std::pair<BulkStatus, std::size_t>> results;
    std::size_t sent = 0;
    for (int guard = 0; sent < job.size() && guard < 50; ++guard) {
        const auto r = c.bulkOut(std::span(job).subspan(sent));
        results.emplace_back(r.status, r.length);
        sent += r.length;
    }
    const std::vector<std::pair<BulkStatus, std::size_t>> expected = {
        {BulkStatus::Ack, 10}, {BulkStatus::Nak, 0}, {BulkStatus::Ack, 10}, {BulkStatus::Nak, 0}, {BulkStatus::Ack, 5}};
    EXPECT_EQ(results, expected);
    EXPECT_EQ(c.printed(), job);
}

TEST(BulkOut, HaltStallsUntilCleared) {
    Cable c;
    configured(c);
    c.haltEndpoint(0x01);
    EXPECT_EQ(c.bulkOut(bytes("a")).status, BulkStatus::Stall);
    EXPECT_TRUE(c.printed().empty());
    Bytes none;
    EXPECT_TRUE(c.control({0x02, 1, 0, 0x01, 0}, none).ok());
    EXPECT_EQ(c.bulkOut(bytes("a")).status, BulkStatus::Ack);

    c.haltEndpoint(0x01);
    c.clearHalt(0x01);
    EXPECT_FALSE(c.halted(0x01));
    c.haltEndpoint(0x01);
    c.busReset();
    configured(c);
    EXPECT_FALSE(c.halted(0x01)) << "bus reset clears halts";
}

TEST(BulkOut, PaperEmptyCanHaltTheEndpoint) {
    CableConfig cfg;
    cfg.haltOutOnPaperEmpty = true;
    Cable c(cfg);
    configured(c);
    c.setPaperEmpty(true);
    EXPECT_EQ(c.bulkOut(bytes("a")).status, BulkStatus::Stall);
    EXPECT_TRUE(c.halted(0x01));
    Bytes status(2);
    EXPECT_TRUE(c.control({0xC2, 0, 0, 0x01, 2}, status).ok());
    EXPECT_EQ(status, (Bytes{1, 0}));
    c.setPaperEmpty(false);
    EXPECT_EQ(c.bulkOut(bytes("a")).status, BulkStatus::Stall) << "stays halted until cleared";
    Bytes none;
    EXPECT_TRUE(c.control({0x02, 1, 0, 0x01, 0}, none).ok());
    EXPECT_EQ(c.bulkOut(bytes("a")).status, BulkStatus::Ack);
}

TEST(BulkIn, BackChannel) {
    PrinterConfig pc;
    pc.backChannel = {0x10, 0x20};
    Cable c({}, pc);
    configured(c);
    Bytes buf(64);
    auto r = c.bulkIn(buf);
    ASSERT_EQ(r.status, BulkStatus::Ack);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.length), (Bytes{0x10, 0x20}));
    EXPECT_EQ(c.bulkIn(buf).status, BulkStatus::Nak);
    int calls = 0;
    c.setChangeHandler([&] { ++calls; });
    c.queueBulkIn(bytes("status line"));
    EXPECT_EQ(calls, 1);
    Bytes small(6);
    r = c.bulkIn(0x81, small);
    EXPECT_EQ(r.length, 6u);
    EXPECT_EQ(small, bytes("status"));
    r = c.bulkIn(0x81, buf);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.length), bytes(" line"));
    c.haltEndpoint(0x81);
    c.queueBulkIn(bytes("x"));
    EXPECT_EQ(c.bulkIn(buf).status, BulkStatus::Stall);
}

TEST(BulkOut, NaksDuring1284ModeAndPrintsAfterTermination) {
    Cable c;
    configured(c);
    simtest::CablePort port(c);
    simtest::Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    EXPECT_EQ(c.bulkOut(bytes("job")).status, BulkStatus::Nak);
    // A host that drops straight back to printing set-up: nSelectIn low with nAutoFd high, no handshake.
    writeReg(c, 2, 0x4C);
    const auto r = c.bulkOut(bytes("job"));
    EXPECT_EQ(r.status, BulkStatus::Ack);
    EXPECT_EQ(c.printed(), bytes("job"));
}

TEST(Cable, DeviceIdThroughTheRegisters) {
    const std::string id = "MFG:Hanwell;MDL:LP 6;CLS:PRINTER;";
    PrinterConfig pc;
    pc.deviceId = id;
    for (unsigned delay : {0u, 2u}) {
        pc.answerDelayPolls = delay;
        Cable c({}, pc);
        simtest::CablePort port(c);
        simtest::Host1284 host(port, 35);
        const auto r = host.readDeviceId();
        ASSERT_TRUE(r.length) << delay;
        EXPECT_EQ(*r.length, id.size() + 2);
        EXPECT_EQ(r.text, bytes(id));
        EXPECT_TRUE(r.terminated);
        EXPECT_EQ(c.reg(0), 0x04) << "the extensibility byte stays on the data lines";
        EXPECT_EQ(c.withPrinter([](Printer1284& p) { return p.phase(); }), PrinterPhase::Compatibility);
        configured(c);
        EXPECT_EQ(c.bulkOut(bytes("after")).status, BulkStatus::Ack);
        EXPECT_EQ(c.printed(), bytes("after"));
    }
}

TEST(Cable, RegisterTrafficFromAnotherThreadKeepsPrintDataInOrder) {
    Cable c;
    configured(c);
    Bytes job(4000);
    for (std::size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i);
    std::thread reader([&] {
        Bytes snap(7);
        for (int i = 0; i < 2000; ++i) {
            const auto r = c.control({0xC0, 3, 1, 0, 7}, snap);
            if (!r.ok() || snap[1] != 0x0C) {
                ADD_FAILURE() << "register read failed";
                return;
            }
        }
    });
    std::size_t sent = 0;
    while (sent < job.size()) {
        const auto r = c.bulkOut(std::span(job).subspan(sent, std::min<std::size_t>(64, job.size() - sent)));
        ASSERT_EQ(r.status, BulkStatus::Ack);
        sent += r.length;
    }
    reader.join();
    EXPECT_EQ(c.printed(), job);
}

TEST(Cable, SavePrinted) {
    Cable c;
    configured(c);
    ASSERT_TRUE(c.bulkOut(bytes("saved job")).ok());
    const auto path =
        std::filesystem::temp_directory_path() / ("ostrolink_sim_" + std::to_string(::getpid()) + "_job.bin");
    c.savePrinted(path);
    EXPECT_EQ(std::filesystem::file_size(path), 9u);
    std::filesystem::remove(path);
    EXPECT_THROW(c.savePrinted("/nonexistent-dir/job.bin"), std::runtime_error);
}

TEST(Cable, ChangeHandlerMayCallBackIntoTheCable) {
    PrinterConfig pc;
    pc.busyPolls = 1;
    Cable c({}, pc);
    configured(c);
    const Bytes data = bytes("reentrant");
    bool inside = false;
    std::optional<BulkResult> retried;
    // Like a bus that retries a NAKed transfer from inside the notification.
    c.setChangeHandler([&] {
        if (inside) return;
        inside = true;
        retried = c.bulkOut(data);
        inside = false;
    });
    EXPECT_EQ(c.bulkOut(data).status, BulkStatus::Nak);
    ASSERT_TRUE(retried);
    EXPECT_EQ(retried->status, BulkStatus::Ack);
    EXPECT_EQ(c.printed(), data);
}

// The register moves a port driver makes: every control write derived from the last snapshot, waits of at
// most 35 status reads, the termination that leaves nSelectIn high, then the printing set-up 0x4C.
TEST(Cable, SnapshotDrivenExchangeThenPrinting) {
    const std::string id = "MFG:Hanwell;MDL:LP 6;";
    PrinterConfig pc;
    pc.deviceId = id;
    pc.answerDelayPolls = 1;
    Cable c({}, pc);
    configured(c);
    Bytes snap(7);
    auto read = [&] {
        EXPECT_TRUE(c.control({0xC0, 3, 1, 0, 7}, snap).ok());
        return snap;
    };
    auto wait = [&](uint8_t mask, uint8_t value) {
        for (int i = 0; i < 35; ++i) {
            if ((read()[0] & mask) == value) return true;
        }
        return false;
    };
    auto nibbleByte = [&](uint8_t& out) {
        if (read()[0] & 0x08) return false;
        writeReg(c, 2, snap[1] | 0x02);
        if (!wait(0x40, 0)) return false;
        uint8_t b = static_cast<uint8_t>((snap[0] & 0x38) >> 3 | (~snap[0] & 0x80) >> 4);
        writeReg(c, 2, snap[1] & 0xFD);
        if (!wait(0x40, 0x40)) return false;
        writeReg(c, 2, snap[1] | 0x02);
        if (!wait(0x40, 0)) return false;
        b |= static_cast<uint8_t>((snap[0] & 0x38) << 1 | (~snap[0] & 0x80));
        writeReg(c, 2, snap[1] & 0xFD);
        if (!wait(0x40, 0x40)) return false;
        out = b;
        return true;
    };
    writeReg(c, 7, 0xF8);
    writeReg(c, 8, 0x01);
    writeReg(c, 6, 0x03);
    writeReg(c, 0, 0x04);
    writeReg(c, 2, (read()[1] & 0xF7) | 0x02);
    ASSERT_TRUE(wait(0x78, 0x38));
    writeReg(c, 2, snap[1] | 0x01);
    writeReg(c, 2, read()[1] & 0xFC);
    ASSERT_TRUE(wait(0x70, 0x50));
    uint8_t hi = 0, lo = 0;
    ASSERT_TRUE(nibbleByte(hi));
    ASSERT_TRUE(nibbleByte(lo));
    const int length = hi << 8 | lo;
    EXPECT_EQ(length, static_cast<int>(id.size() + 2));
    std::string got;
    for (int i = 0; i < length - 2; ++i) {
        uint8_t b = 0;
        ASSERT_TRUE(nibbleByte(b));
        got.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(got, id);
    uint8_t extra = 0;
    EXPECT_FALSE(nibbleByte(extra)) << "nDataAvail high after the last byte";
    // This termination keeps nSelectIn high, so the printer stays in nibble mode and never pulls nAck low.
    writeReg(c, 2, (read()[1] | 0x04) & 0xFD);
    EXPECT_FALSE(wait(0x40, 0));
    writeReg(c, 2, snap[1] | 0x02);
    EXPECT_TRUE(wait(0x40, 0x40));
    EXPECT_EQ(c.withPrinter([](Printer1284& p) { return p.phase(); }), PrinterPhase::ReverseIdle);
    // Printing set-up: nSelectIn low with nAutoFd high ends the mode.
    writeReg(c, 7, 0xF8);
    writeReg(c, 6, 0x43);
    writeReg(c, 2, 0x4C);
    writeReg(c, 8, 0x01);
    EXPECT_EQ(c.withPrinter([](Printer1284& p) { return p.phase(); }), PrinterPhase::Compatibility);
    BulkResult r;
    for (int i = 0; i < 5 && (r = c.bulkOut(bytes("print"))).status == BulkStatus::Nak; ++i) {
    }
    EXPECT_EQ(r.status, BulkStatus::Ack);
    EXPECT_EQ(c.printed(), bytes("print"));
}

TEST(Cable, ReadinessAloneIsAChange) {
    // Reverse idle and compatibility idle show the same lines: only the printer's readiness differs.
    PrinterConfig pc;
    pc.deviceIdRaw = Bytes{0x00, 0x02};
    Cable c({}, pc);
    configured(c);
    simtest::CablePort port(c);
    simtest::Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    ASSERT_EQ(host.readAll().size(), 2u);
    host.set(&HostLines::nAutoFd, false);
    ASSERT_EQ(c.withPrinter([](Printer1284& p) { return p.phase(); }), PrinterPhase::ReverseIdle);
    EXPECT_EQ(c.bulkOut(bytes("x")).status, BulkStatus::Nak);
    const uint8_t idleStatus = c.reg(1);
    int calls = 0;
    c.setChangeHandler([&] { ++calls; });
    writeReg(c, 2, 0x0E);  // nSelectIn low while HostBusy is low: straight back to compatibility mode
    EXPECT_EQ(c.reg(1), idleStatus);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(c.bulkOut(bytes("x")).status, BulkStatus::Ack);
}
