// Every control request the cable answers, and the ones it stalls.
#include <gtest/gtest.h>

#include <atomic>

#include "host1284.h"

using namespace sim;
using simtest::bytes;
using Bytes = std::vector<uint8_t>;

namespace {

struct Reply {
    ControlStatus status;
    Bytes data;
};

Reply in(Cable& c, uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length) {
    Bytes buf(length, 0xEE);
    const auto r = c.control({type, req, value, index, length}, buf);
    buf.resize(r.length);
    return {r.status, buf};
}

ControlStatus out(Cable& c, uint8_t type, uint8_t req, uint16_t value, uint16_t index) {
    Bytes none;
    return c.control({type, req, value, index, 0}, none).status;
}

Bytes snapshot(Cable& c, uint16_t first = 1) {
    const auto r = in(c, 0xC0, 3, first, 0, 7);
    EXPECT_EQ(r.status, ControlStatus::Ack);
    return r.data;
}

void configure(Cable& c) { ASSERT_EQ(out(c, 0x00, 9, 1, 0), ControlStatus::Ack); }

constexpr auto Ack = ControlStatus::Ack;
constexpr auto Stall = ControlStatus::Stall;

}  // namespace

TEST(VendorRegisters, SnapshotAfterPowerOn) {
    Cable c;
    // status (idle printer: nAck high, not busy, selected, no fault), control 0x0C, 3..5 zero, 6, 7.
    EXPECT_EQ(snapshot(c), (Bytes{0xD8, 0x0C, 0, 0, 0, 0, 0}));
}

TEST(VendorRegisters, WritesAndReadBack) {
    Cable c;
    EXPECT_EQ(out(c, 0x40, 4, 0x07F8, 0), Ack);
    EXPECT_EQ(out(c, 0x40, 4, 0x0643, 0), Ack);
    EXPECT_EQ(out(c, 0x40, 4, 0x024C, 0), Ack);
    EXPECT_EQ(out(c, 0x40, 4, 0x0801, 0), Ack);
    EXPECT_EQ(out(c, 0x40, 4, 0x0055, 0), Ack);
    EXPECT_EQ(out(c, 0x40, 4, 0x0477, 0), Ack);  // register 4 has no meaning: reads 0
    EXPECT_EQ(out(c, 0x40, 4, 0x0100, 0), Ack);  // status is read only
    EXPECT_EQ(snapshot(c), (Bytes{0xD8, 0x4C, 0, 0, 0, 0x43, 0xF8}));
    EXPECT_EQ(snapshot(c, 0), (Bytes{0x55, 0xD8, 0x4C, 0, 0, 0, 0x43}));
    EXPECT_EQ(snapshot(c, 2), (Bytes{0x4C, 0, 0, 0, 0x43, 0xF8, 0x01}));
    EXPECT_EQ(snapshot(c, 8), (Bytes{0x01, 0, 0, 0, 0, 0, 0})) << "past the last register reads 0";
    EXPECT_EQ(c.reg(2), 0x4C);
    EXPECT_EQ(c.reg(6), 0x43);
    EXPECT_EQ(c.reg(8), 0x01);
    EXPECT_EQ(in(c, 0xC0, 3, 9, 0, 7).status, Stall);
    EXPECT_EQ(out(c, 0x40, 4, 0x0900, 0), Stall);
    EXPECT_EQ(in(c, 0xC0, 3, 1, 0, 3).data, (Bytes{0xD8, 0x4C, 0})) << "wLength 3 gives 3 bytes";
}

TEST(VendorRegisters, ControlWritesReachThePrinter) {
    Cable c;
    ASSERT_EQ(out(c, 0x40, 4, 0x0200, 0), Ack);  // control 0: nInit low, nSelectIn high, printer reset
    EXPECT_EQ(snapshot(c)[0] & 0x80, 0) << "Busy while nInit is held low";
    ASSERT_EQ(out(c, 0x40, 4, 0x020C, 0), Ack);
    EXPECT_EQ(snapshot(c)[0], 0xD8);
    c.withPrinter([](Printer1284& p) {
        EXPECT_EQ(p.hostLines(), decodeControl(0x0C));
    });
    // A strobe through the control register prints the data register.
    ASSERT_EQ(out(c, 0x40, 4, 0x0041, 0), Ack);
    ASSERT_EQ(out(c, 0x40, 4, 0x020D, 0), Ack);
    ASSERT_EQ(out(c, 0x40, 4, 0x020C, 0), Ack);
    EXPECT_EQ(c.printed(), bytes("A"));
}

TEST(VendorRegisters, EachStatusReadIsOnePoll) {
    PrinterConfig pc;
    pc.busyPolls = 3;
    Cable c({}, pc);
    EXPECT_EQ(snapshot(c)[0] & 0x80, 0);
    EXPECT_EQ(snapshot(c, 2)[0], 0x0C) << "a read without the status register is no poll";
    EXPECT_EQ(snapshot(c, 0)[1] & 0x80, 0);
    EXPECT_EQ(in(c, 0xA1, 1, 0, 0, 1).status, Ack);  // GET_PORT_STATUS polls too
    EXPECT_EQ(snapshot(c)[0] & 0x80, 0x80);
    EXPECT_EQ(c.withPrinter([](Printer1284& p) { return p.polls(); }), 4u);
}

TEST(PrinterClass, GetPortStatus) {
    Cable c;
    EXPECT_EQ(in(c, 0xA1, 1, 0, 0, 1).data, Bytes{0x18});
    EXPECT_EQ(in(c, 0xA1, 1, 0, 2, 1).data, Bytes{0x18}) << "any interface index";
    EXPECT_EQ(in(c, 0xA1, 1, 0, 0, 64).data, Bytes{0x18}) << "one byte whatever the buffer";
    c.setPaperEmpty(true);
    EXPECT_EQ(in(c, 0xA1, 1, 0, 0, 1).data, Bytes{0x20});
    c.setPaperEmpty(false);
    c.setOffline(true);
    EXPECT_EQ(in(c, 0xA1, 1, 0, 0, 1).data, Bytes{0x00});
    EXPECT_EQ(in(c, 0x21, 1, 0, 0, 0).status, Stall) << "OUT direction";

    PrinterConfig none;
    none.attached = false;
    Cable empty({}, none);
    EXPECT_EQ(in(empty, 0xA1, 1, 0, 0, 1).data, Bytes{0x38}) << "floating lines";
}

TEST(PrinterClass, SoftResetBothRecipientsClearsHalts) {
    Cable c;
    configure(c);
    for (uint8_t type : {0x21, 0x23}) {
        c.haltEndpoint(0x01);
        c.haltEndpoint(0x81);
        EXPECT_EQ(out(c, type, 2, 0, 0), Ack) << int(type);
        EXPECT_FALSE(c.halted(0x01));
        EXPECT_FALSE(c.halted(0x81));
    }
    EXPECT_EQ(c.softResets(), 2u);
    EXPECT_EQ(in(c, 0xA1, 2, 0, 0, 1).status, Stall);
    EXPECT_EQ(out(c, 0x22, 2, 0, 0x01), Stall) << "endpoint recipient";
    EXPECT_EQ(in(c, 0xA1, 0, 0, 0, 255).status, Stall) << "GET_DEVICE_ID is not implemented by the cable";
}

TEST(VendorEndpoint, StatusWordFollowsHalt) {
    Cable c;
    EXPECT_EQ(in(c, 0xC2, 0, 0, 0x01, 2).status, Stall) << "no endpoints before configuration";
    configure(c);
    EXPECT_EQ(in(c, 0xC2, 0, 0, 0x01, 2).data, (Bytes{0, 0}));
    c.haltEndpoint(0x01);
    EXPECT_EQ(in(c, 0xC2, 0, 0, 0x01, 2).data, (Bytes{1, 0}));
    EXPECT_EQ(in(c, 0xC2, 0, 0, 0x81, 2).data, (Bytes{0, 0}));
    c.haltEndpoint(0x81);
    EXPECT_EQ(in(c, 0xC2, 0, 0, 0x0081, 2).data, (Bytes{1, 0}));
    EXPECT_EQ(in(c, 0xC2, 0, 0, 0x02, 2).status, Stall) << "unknown endpoint";
    EXPECT_EQ(in(c, 0xC2, 1, 0, 0x01, 2).status, Stall) << "other vendor endpoint request";
}

TEST(Standard, ConfigurationLifecycle) {
    Cable c;
    EXPECT_EQ(in(c, 0x80, 8, 0, 0, 1).data, Bytes{0});
    EXPECT_EQ(out(c, 0x00, 9, 2, 0), Stall);
    EXPECT_EQ(c.configuration(), 0);
    configure(c);
    EXPECT_EQ(in(c, 0x80, 8, 0, 0, 1).data, Bytes{1});
    EXPECT_EQ(c.alternateSetting(2), 0);
    EXPECT_FALSE(c.alternateSetting(0));
    c.haltEndpoint(0x01);
    configure(c);
    EXPECT_FALSE(c.halted(0x01)) << "SET_CONFIGURATION clears halts";
    EXPECT_EQ(out(c, 0x00, 9, 0, 0), Ack);
    EXPECT_EQ(c.configuration(), 0);
    EXPECT_FALSE(c.endpoint(0x01));
    EXPECT_EQ(out(c, 0x00, 5, 7, 0), Ack);
    EXPECT_EQ(c.address(), 7);
    EXPECT_EQ(out(c, 0x00, 5, 200, 0), Stall);
    configure(c);
    c.busReset();
    EXPECT_EQ(c.address(), 0);
    EXPECT_EQ(c.configuration(), 0);
}

TEST(Standard, InterfacesAndAlternateSettings) {
    CableConfig cfg;
    AlternateConfig a1;
    a1.alternateSetting = 1;
    a1.endpoints = {EndpointConfig{0x03, 0x02, 64, 0}};
    cfg.interfaces[0].alternates.push_back(a1);
    Cable c(cfg);
    EXPECT_EQ(out(c, 0x01, 11, 1, 2), Stall) << "not configured yet";
    configure(c);
    EXPECT_EQ(in(c, 0x81, 10, 0, 2, 1).data, Bytes{0});
    EXPECT_TRUE(c.endpoint(0x01));
    c.haltEndpoint(0x01);
    EXPECT_EQ(out(c, 0x01, 11, 1, 2), Ack);
    EXPECT_EQ(in(c, 0x81, 10, 0, 2, 1).data, Bytes{1});
    EXPECT_FALSE(c.endpoint(0x01));
    EXPECT_TRUE(c.endpoint(0x03));
    EXPECT_FALSE(c.halted(0x01)) << "SET_INTERFACE clears the interface's halts";
    EXPECT_EQ(out(c, 0x01, 11, 5, 2), Stall) << "unknown alternate setting";
    EXPECT_EQ(out(c, 0x01, 11, 0, 3), Stall) << "unknown interface";
    EXPECT_EQ(in(c, 0x81, 10, 0, 0, 1).status, Stall);
    EXPECT_EQ(out(c, 0x01, 11, 0, 2), Ack);
    EXPECT_TRUE(c.endpoint(0x81));
}

TEST(Standard, InterfaceWithoutAlternateZero) {
    CableConfig cfg;
    cfg.interfaces[0].alternates[0].alternateSetting = 3;
    Cable c(cfg);
    configure(c);
    EXPECT_EQ(c.alternateSetting(2), 3) << "starts at its only setting";
    EXPECT_TRUE(c.endpoint(0x01));
}

TEST(Standard, EndpointHaltFeatures) {
    Cable c;
    configure(c);
    const auto before = c.changes();
    EXPECT_EQ(out(c, 0x02, 3, 0, 0x81), Ack);  // SET_FEATURE(ENDPOINT_HALT)
    EXPECT_TRUE(c.halted(0x81));
    EXPECT_EQ(in(c, 0x82, 0, 0, 0x81, 2).data, (Bytes{1, 0}));
    EXPECT_EQ(out(c, 0x02, 1, 0, 0x81), Ack);  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_FALSE(c.halted(0x81));
    EXPECT_GT(c.changes(), before) << "a cleared halt lets NAKed transfers retry";
    EXPECT_EQ(in(c, 0x82, 0, 0, 0x81, 2).data, (Bytes{0, 0}));
    EXPECT_EQ(out(c, 0x02, 1, 0, 0x05), Stall) << "no such endpoint";
    EXPECT_EQ(out(c, 0x02, 1, 0, 0x00), Ack) << "endpoint 0";
    EXPECT_EQ(out(c, 0x02, 1, 1, 0x01), Stall) << "unknown endpoint feature";
    EXPECT_EQ(out(c, 0x00, 1, 1, 0), Stall) << "no remote wakeup";
}

TEST(Standard, GetStatus) {
    CableConfig cfg;
    cfg.configAttributes = 0x40;
    Cable c(cfg);
    EXPECT_EQ(in(c, 0x80, 0, 0, 0, 2).data, (Bytes{1, 0})) << "self powered";
    EXPECT_EQ(in(c, 0x81, 0, 0, 2, 2).status, Stall) << "interface before configuration";
    configure(c);
    EXPECT_EQ(in(c, 0x81, 0, 0, 2, 2).data, (Bytes{0, 0}));
    EXPECT_EQ(in(c, 0x81, 0, 0, 1, 2).status, Stall);
    c.haltEndpoint(0x01);
    EXPECT_EQ(in(c, 0x82, 0, 0, 0x01, 2).data, (Bytes{1, 0}));
    EXPECT_EQ(in(c, 0x82, 0, 0, 0x00, 2).data, (Bytes{0, 0}));
    EXPECT_EQ(in(c, 0x83, 0, 0, 0, 2).status, Stall);
    Cable bus;
    EXPECT_EQ(in(bus, 0x80, 0, 0, 0, 2).data, (Bytes{0, 0}));
}

TEST(Control, UnknownAndMalformedRequests) {
    Cable c;
    EXPECT_EQ(out(c, 0x40, 5, 0, 0), Stall);
    EXPECT_EQ(in(c, 0xC0, 4, 0x0200, 0, 0).status, Stall) << "write request with IN direction";
    EXPECT_EQ(out(c, 0x40, 3, 1, 0), Stall) << "read request with OUT direction";
    EXPECT_EQ(in(c, 0xE0, 0, 0, 0, 1).status, Stall) << "reserved type";
    EXPECT_EQ(in(c, 0x80, 0x33, 0, 0, 1).status, Stall);
    EXPECT_EQ(out(c, 0x00, 6, 0x0100, 0), Stall) << "GET_DESCRIPTOR with OUT direction";
    // The caller's buffer must hold wLength bytes.
    Bytes small(3);
    EXPECT_EQ(c.control({0xC0, 3, 1, 0, 7}, small).status, ControlStatus::Error);
    EXPECT_EQ(c.reg(2), 0x0C);
}

TEST(Control, FaultsFromTheConfiguration) {
    CableConfig cfg;
    cfg.stalledRequests = {{0xA1, 1}};
    auto writes7 = std::make_shared<std::atomic<int>>(0);
    cfg.controlFilter = [writes7](const SetupPacket& s) -> std::optional<ControlResult> {
        if (s.bmRequestType == 0x40 && s.bRequest == 4 && (s.wValue >> 8) == 7 && (*writes7)++ == 0) {
            return ControlResult::error();
        }
        return std::nullopt;
    };
    Cable c(cfg);
    EXPECT_EQ(in(c, 0xA1, 1, 0, 0, 1).status, Stall);
    EXPECT_EQ(out(c, 0x40, 4, 0x07F8, 0), ControlStatus::Error);
    EXPECT_EQ(c.reg(7), 0) << "a failed request changes nothing";
    EXPECT_EQ(out(c, 0x40, 4, 0x07F8, 0), Ack);
    EXPECT_EQ(c.reg(7), 0xF8);
}

TEST(Control, LogKeepsEverySetupPacket) {
    Cable c;
    Bytes buf(7);
    c.control({0xC0, 3, 1, 0, 7}, buf);
    c.control({0x40, 4, 0x024C, 0, 0}, buf);
    c.control({0x40, 9, 0, 0, 0}, buf);
    const std::vector<SetupPacket> expected = {{0xC0, 3, 1, 0, 7}, {0x40, 4, 0x024C, 0, 0}, {0x40, 9, 0, 0, 0}};
    EXPECT_EQ(c.controlLog(), expected);
    c.clearControlLog();
    EXPECT_TRUE(c.controlLog().empty());
}
