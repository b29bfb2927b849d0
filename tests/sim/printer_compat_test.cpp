// Compatibility mode: strobed data, the Busy/nAck handshake, printer conditions, capture.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "host1284.h"

using namespace sim;
using simtest::bytes;
using simtest::DirectPort;
using simtest::Host1284;
using Bytes = std::vector<uint8_t>;

namespace {

std::vector<uint8_t> readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::filesystem::path tempPath(const std::string& name) {
    return std::filesystem::temp_directory_path() / ("ostrolink_sim_" + std::to_string(::getpid()) + "_" + name);
}

}  // namespace

TEST(RegisterEncoding, StatusBitsFollowThePcLayout) {
    PeripheralLines idle;  // nAck high, Busy low, PError low, Select high, nFault high
    EXPECT_EQ(encodeStatus(idle), 0xD8);
    PeripheralLines all{false, true, true, false, false};
    EXPECT_EQ(encodeStatus(all), 0x20);
    EXPECT_EQ(encodeStatus(PeripheralLines{true, true, true, true, true}), 0x78);
    for (int bits = 0; bits < 32; ++bits) {
        PeripheralLines l{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0, (bits & 16) != 0};
        EXPECT_EQ(simtest::linesFromStatus(encodeStatus(l)), l) << bits;
        EXPECT_EQ(encodeStatus(l) & 0x07, 0);
    }
}

TEST(RegisterEncoding, ControlBitsDriveTheLines) {
    const HostLines c4c = decodeControl(0x4C);
    EXPECT_TRUE(c4c.nStrobe);
    EXPECT_TRUE(c4c.nAutoFd);
    EXPECT_TRUE(c4c.nInit);
    EXPECT_FALSE(c4c.nSelectIn);
    const HostLines c07 = decodeControl(0x07);
    EXPECT_FALSE(c07.nStrobe);
    EXPECT_FALSE(c07.nAutoFd);
    EXPECT_TRUE(c07.nInit);
    EXPECT_TRUE(c07.nSelectIn) << "select-in clear: nSelectIn high, 1284 active";
    EXPECT_FALSE(decodeControl(0x00).nInit);
    for (int c = 0; c < 16; ++c) EXPECT_EQ(simtest::controlFor(decodeControl(static_cast<uint8_t>(c))), c);
}

TEST(RegisterEncoding, PortStatusByteAndDeviceIdBytes) {
    EXPECT_EQ(portStatusByte(PeripheralLines{}), 0x18);
    EXPECT_EQ(portStatusByte(PeripheralLines{false, true, true, false, false}), 0x20);
    EXPECT_EQ(portStatusByte(PeripheralLines{true, false, false, false, false}), 0x00);
    EXPECT_EQ(deviceIdBytes(""), (std::vector<uint8_t>{0x00, 0x02}));
    const std::string big(300, 'x');
    const auto b = deviceIdBytes(big);
    ASSERT_EQ(b.size(), 302u);
    EXPECT_EQ(b[0], 0x01);
    EXPECT_EQ(b[1], 0x2E);
    EXPECT_THROW(deviceIdBytes(std::string(0xFFFF, 'y')), std::invalid_argument);
    PrinterConfig tooLong;
    tooLong.deviceId = std::string(0xFFFE, 'y');
    EXPECT_THROW(Printer1284{tooLong}, std::invalid_argument);
    tooLong.deviceIdRaw = Bytes{0xFF, 0xFF, 'y'};
    Printer1284 raw(tooLong);  // raw bytes say what they like
    tooLong.deviceId = std::string(0xFFFD, 'y');
    Printer1284 longest(tooLong);
    EXPECT_THROW(longest.setDeviceId(std::string(0x10000, 'z')), std::invalid_argument);
}

TEST(Compatibility, StrobedBytesKeptInOrderWithHandshake) {
    Printer1284 p;
    DirectPort port(p);
    Host1284 host(port);
    const auto text = bytes("Hello, printer!\r\n\f");
    for (uint8_t b : text) ASSERT_TRUE(host.sendByte(b));
    EXPECT_EQ(p.received(), text);
    EXPECT_EQ(p.lostStrobes(), 0u);
}

TEST(Compatibility, HandshakeEdgeOrder) {
    PrinterConfig c;
    c.answerDelayPolls = 2;
    Printer1284 p(c);
    HostLines h;
    p.setHostLines(h);
    p.setData('q');
    h.nStrobe = false;
    p.setHostLines(h);
    std::vector<PeripheralLines> seen;
    for (int i = 0; i < 6; ++i) seen.push_back(p.readLines());
    h.nStrobe = true;
    p.setHostLines(h);
    for (int i = 0; i < 12; ++i) seen.push_back(p.readLines());
    // Collapse repeats into the sequence of distinct (Busy, nAck) states.
    std::vector<std::pair<bool, bool>> states;
    for (const auto& l : seen) {
        if (states.empty() || states.back() != std::pair{l.busy, l.nAck}) states.emplace_back(l.busy, l.nAck);
    }
    const std::vector<std::pair<bool, bool>> expected = {
        {false, true}, {true, true}, {true, false}, {false, false}, {false, true}};
    EXPECT_EQ(states, expected);
    // Two reads show the old lines after the strobe, then Busy.
    EXPECT_FALSE(seen[0].busy);
    EXPECT_FALSE(seen[1].busy);
    EXPECT_TRUE(seen[2].busy);
    EXPECT_EQ(p.received(), bytes("q"));
}

TEST(Compatibility, StrobeWhileBusyIsLost) {
    Printer1284 p;
    HostLines h;
    p.setData('1');
    h.nStrobe = false;
    p.setHostLines(h);
    h.nStrobe = true;
    p.setHostLines(h);
    // Host strobes again without waiting for Busy low.
    p.setData('2');
    h.nStrobe = false;
    p.setHostLines(h);
    h.nStrobe = true;
    p.setHostLines(h);
    EXPECT_EQ(p.received(), bytes("1"));
    EXPECT_EQ(p.lostStrobes(), 1u);
    EXPECT_FALSE(p.readyForData()) << "handshake still running";
    for (int i = 0; i < 5; ++i) p.poll();
    EXPECT_TRUE(p.readyForData());
}

TEST(Compatibility, PaperEmptyAndOfflineLines) {
    Printer1284 p;
    p.setPaperEmpty(true);
    auto l = p.readLines();
    EXPECT_TRUE(l.pError);
    EXPECT_FALSE(l.nFault);
    EXPECT_FALSE(l.select);
    EXPECT_TRUE(l.busy);
    EXPECT_EQ(portStatusByte(l), 0x20);
    EXPECT_FALSE(p.acceptByte('x'));
    EXPECT_EQ(p.lostStrobes(), 1u);
    p.setPaperEmpty(false);
    l = p.readLines();
    EXPECT_EQ(portStatusByte(l), 0x18);
    EXPECT_FALSE(l.busy);

    p.setOffline(true);
    l = p.readLines();
    EXPECT_FALSE(l.select);
    EXPECT_FALSE(l.nFault);
    EXPECT_FALSE(l.pError);
    EXPECT_TRUE(l.busy);
    EXPECT_TRUE(p.offline());
    DirectPort port(p);
    Host1284 host(port, 10);
    EXPECT_FALSE(host.sendByte('x'));
    p.setOffline(false);
    EXPECT_TRUE(host.sendByte('y'));
    EXPECT_EQ(p.received(), bytes("y"));
}

TEST(Compatibility, TimedBusyAndOfflineCountPolls) {
    PrinterConfig c;
    c.busyPolls = 3;
    c.offlinePolls = 5;
    Printer1284 p(c);
    EXPECT_TRUE(p.changesByItself());
    std::vector<bool> busy, select;
    for (int i = 0; i < 7; ++i) {
        const auto l = p.readLines();
        busy.push_back(l.busy);
        select.push_back(l.select);
    }
    EXPECT_EQ(select, (std::vector<bool>{false, false, false, false, false, true, true}));
    EXPECT_EQ(busy, (std::vector<bool>{true, true, true, true, true, false, false}));
    EXPECT_FALSE(p.changesByItself());

    p.setBusyFor(2);
    EXPECT_TRUE(p.readLines().busy);
    EXPECT_FALSE(p.readyForData());
    p.poll();
    EXPECT_FALSE(p.readLines().busy);
    p.setOfflineFor(1);
    EXPECT_FALSE(p.readLines().select);
    EXPECT_TRUE(p.readLines().select);
}

TEST(Compatibility, BusyAfterEveryBurst) {
    PrinterConfig c;
    c.busyEveryBytes = 4;
    c.busyPollsPerBurst = 2;
    Printer1284 p(c);
    int taken = 0;
    for (int i = 0; i < 4; ++i) taken += p.acceptByte(static_cast<uint8_t>(i));
    EXPECT_EQ(taken, 4);
    EXPECT_FALSE(p.readyForData());
    EXPECT_TRUE(p.readLines().busy);
    EXPECT_TRUE(p.readLines().busy);
    EXPECT_FALSE(p.readLines().busy);
    EXPECT_TRUE(p.acceptByte(4));
    EXPECT_EQ(p.received(), (std::vector<uint8_t>{0, 1, 2, 3, 4}));
}

TEST(Compatibility, CaptureFileAndSave) {
    const auto cap = tempPath("capture.bin");
    const auto saved = tempPath("saved.bin");
    {
        PrinterConfig c;
        c.capturePath = cap;
        Printer1284 p(c);
        DirectPort port(p);
        Host1284 host(port);
        ASSERT_TRUE(host.sendByte(0x1B));
        ASSERT_TRUE(host.sendByte('E'));
        ASSERT_TRUE(p.acceptByte(0x00));
        ASSERT_TRUE(p.acceptByte(0xFF));
        EXPECT_EQ(readFile(cap), (std::vector<uint8_t>{0x1B, 'E', 0x00, 0xFF})) << "written as received";
        p.saveReceived(saved);
        EXPECT_EQ(readFile(saved), p.received());
        try {
            p.saveReceived("/nonexistent-dir/x/out.bin");
            ADD_FAILURE() << "no error for an unwritable path";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/x/out.bin"), std::string::npos);
        }
    }
    std::filesystem::remove(cap);
    std::filesystem::remove(saved);

    PrinterConfig bad;
    bad.capturePath = "/nonexistent-dir/capture.bin";
    EXPECT_THROW(Printer1284{bad}, std::runtime_error);
}

TEST(Compatibility, BackChannelQueue) {
    PrinterConfig c;
    c.backChannel = {1, 2, 3};
    Printer1284 p(c);
    p.queueBackChannel(std::vector<uint8_t>{4, 5});
    EXPECT_EQ(p.backChannelSize(), 5u);
    uint8_t out[4] = {};
    EXPECT_EQ(p.takeBackChannel(out), 4u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(p.takeBackChannel(out), 1u);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(p.takeBackChannel(out), 0u);
}
