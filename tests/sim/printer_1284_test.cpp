// IEEE 1284 negotiation, nibble mode and termination, driven edge by edge from the host side.
#include <gtest/gtest.h>

#include "host1284.h"

using namespace sim;
using simtest::bytes;
using simtest::DirectPort;
using simtest::Host1284;

namespace {

const std::string kId = "MFG:Acme;MDL:Jet 9;CMD:PCL;CLS:PRINTER;";

PrinterConfig withId(std::string id) {
    PrinterConfig c;
    c.deviceId = std::move(id);
    return c;
}

PrinterConfig withRawId(std::vector<uint8_t> raw) {
    PrinterConfig c;
    c.deviceIdRaw = std::move(raw);
    return c;
}

}  // namespace

TEST(Printer1284, DeviceIdReadWithFullHandshake) {
    Printer1284 p(withId(kId));
    DirectPort port(p);
    Host1284 host(port);
    const auto r = host.readDeviceId();
    ASSERT_TRUE(r.negotiated);
    EXPECT_TRUE(r.xflag) << "device ID request in nibble mode is supported: XFlag high";
    ASSERT_TRUE(r.length);
    EXPECT_EQ(*r.length, kId.size() + 2);
    EXPECT_EQ(r.text, bytes(kId));
    EXPECT_TRUE(r.terminated);
    EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    EXPECT_EQ(p.negotiations(), 1u);
    EXPECT_EQ(p.terminations(), 1u);
    EXPECT_EQ(p.handshakeTerminations(), 1u);
    EXPECT_EQ(p.lastExtensibilityByte(), 0x04);
    EXPECT_TRUE(p.received().empty()) << "negotiation strobes are not print data";

    // Back in compatibility mode the printer takes data again.
    ASSERT_TRUE(host.sendByte('Z'));
    EXPECT_EQ(p.received(), bytes("Z"));
}

TEST(Printer1284, DeviceIdTwiceStartsOverEachTime) {
    Printer1284 p(withId(kId));
    DirectPort port(p);
    Host1284 host(port);
    EXPECT_EQ(host.readDeviceId().text, bytes(kId));
    EXPECT_EQ(host.readDeviceId().text, bytes(kId));
    EXPECT_EQ(p.negotiations(), 2u);
}

TEST(Printer1284, EventLinesInOrder) {
    Printer1284 p(withId("AB"));
    DirectPort port(p);
    Host1284 host(port);
    p.setData(0x04);
    HostLines h;
    h.nSelectIn = true;
    h.nAutoFd = false;
    p.setHostLines(h);  // event 1
    auto l = p.readLines();
    EXPECT_FALSE(l.nAck);  // event 2
    EXPECT_TRUE(l.pError);
    EXPECT_TRUE(l.select);
    EXPECT_TRUE(l.nFault);
    EXPECT_EQ(p.phase(), PrinterPhase::NegotiationRequested);

    h.nStrobe = false;
    p.setHostLines(h);  // event 3
    EXPECT_EQ(p.phase(), PrinterPhase::NegotiationLatched);
    h.nStrobe = true;
    p.setHostLines(h);  // only the strobe released: nothing yet
    EXPECT_EQ(p.phase(), PrinterPhase::NegotiationLatched);
    h.nAutoFd = true;
    p.setHostLines(h);  // event 4

    l = p.readLines();  // event 5 shows before event 6
    EXPECT_FALSE(l.nAck);
    EXPECT_TRUE(l.select);
    EXPECT_FALSE(l.nFault) << "data available";
    EXPECT_FALSE(l.pError) << "AckDataReq follows nDataAvail";
    EXPECT_FALSE(l.busy);
    l = p.readLines();
    EXPECT_TRUE(l.nAck);  // event 6
    EXPECT_EQ(p.phase(), PrinterPhase::ReverseHostBusy);

    // First byte of the length (0x00): events 7..11, low nibble first, then the status of the next byte.
    h.nAutoFd = false;
    p.setHostLines(h);
    l = p.readLines();  // event 8 before 9
    EXPECT_TRUE(l.nAck);
    EXPECT_EQ(Host1284::nibbleOf(l), 0x0);
    EXPECT_FALSE(p.readLines().nAck);  // event 9
    h.nAutoFd = true;
    p.setHostLines(h);
    EXPECT_TRUE(p.readLines().nAck);
    h.nAutoFd = false;
    p.setHostLines(h);
    p.readLines();
    EXPECT_FALSE(p.readLines().nAck);
    h.nAutoFd = true;
    p.setHostLines(h);
    l = p.readLines();
    EXPECT_TRUE(l.nAck);
    EXPECT_FALSE(l.nFault) << "the length's second byte is ready";

    // Second byte 0x04: the nibble lines carry 4 then 0.
    h.nAutoFd = false;
    p.setHostLines(h);
    l = p.readLines();
    EXPECT_EQ(Host1284::nibbleOf(l), 0x4);
    EXPECT_TRUE(l.pError);
    EXPECT_FALSE(l.nFault);
}

TEST(Printer1284, NibbleBitsMapToTheStandardLines) {
    // 0xA5: low nibble 0101 -> nFault high, Select low, PError high, Busy low; high nibble 1010.
    Printer1284 p(withRawId({0xA5}));
    DirectPort port(p);
    Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    HostLines h = host.lines();
    h.nAutoFd = false;
    p.setHostLines(h);
    p.readLines();
    auto l = p.readLines();
    ASSERT_FALSE(l.nAck);
    EXPECT_TRUE(l.nFault);
    EXPECT_FALSE(l.select);
    EXPECT_TRUE(l.pError);
    EXPECT_FALSE(l.busy);
    h.nAutoFd = true;
    p.setHostLines(h);
    p.readLines();
    h.nAutoFd = false;
    p.setHostLines(h);
    p.readLines();
    l = p.readLines();
    ASSERT_FALSE(l.nAck);
    EXPECT_FALSE(l.nFault);
    EXPECT_TRUE(l.select);
    EXPECT_FALSE(l.pError);
    EXPECT_TRUE(l.busy);
}

TEST(Printer1284, XFlagAndRefusedModes) {
    {
        Printer1284 p;
        p.queueBackChannel(bytes("ok"));
        DirectPort port(p);
        Host1284 host(port);
        const auto n = host.negotiate(0x00);
        ASSERT_TRUE(n);
        EXPECT_FALSE(n->xflag) << "plain nibble mode answers XFlag low";
        EXPECT_TRUE(n->dataAvailable);
        EXPECT_EQ(host.readAll(), bytes("ok"));
        EXPECT_EQ(p.backChannelSize(), 0u);
        EXPECT_TRUE(host.terminate());
    }
    for (uint8_t request : {0x01, 0x10, 0x14, 0x40}) {
        Printer1284 p;
        DirectPort port(p);
        Host1284 host(port);
        const auto n = host.negotiate(request);
        ASSERT_TRUE(n) << int(request);
        EXPECT_FALSE(n->xflag) << "unsupported request " << int(request);
        EXPECT_FALSE(n->dataAvailable);
        EXPECT_EQ(p.phase(), PrinterPhase::Refused);
        HostLines h = host.lines();
        h.nAutoFd = false;
        p.setHostLines(h);  // HostBusy low means nothing in a refused mode
        EXPECT_TRUE(p.readLines().nAck);
        h.nAutoFd = true;
        p.setHostLines(h);
        EXPECT_TRUE(host.terminate());
        EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    }
}

TEST(Printer1284, AnswerDelayCountsPolls) {
    for (unsigned n : {0u, 1u, 3u, 34u}) {
        PrinterConfig c = withId(kId);
        c.answerDelayPolls = n;
        Printer1284 p(c);
        p.setData(0x04);
        HostLines h;
        h.nSelectIn = true;
        h.nAutoFd = false;
        p.setHostLines(h);
        for (unsigned i = 0; i < n; ++i) {
            EXPECT_TRUE(p.readLines().nAck) << "delay " << n << ", read " << i;
        }
        EXPECT_FALSE(p.readLines().nAck) << "delay " << n << ": the answer shows on read " << n + 1;
        EXPECT_EQ(p.polls(), n + 1);

        // Events 5 and 6: each later edge of a sequence waits one read plus N polls.
        h.nStrobe = false;
        p.setHostLines(h);
        h.nStrobe = true;
        h.nAutoFd = true;
        p.setHostLines(h);
        unsigned readsUntilAck = 0;
        while (!p.readLines().nAck && readsUntilAck < 1000) ++readsUntilAck;
        EXPECT_EQ(readsUntilAck, 2 * n + 1) << "delay " << n;
    }
}

TEST(Printer1284, SlowPrinterReadsWithPatientHostOnly) {
    PrinterConfig c = withId(kId);
    c.answerDelayPolls = 7;
    {
        Printer1284 p(c);
        DirectPort port(p);
        Host1284 host(port, 20);
        const auto r = host.readDeviceId();
        EXPECT_EQ(r.text, bytes(kId));
        EXPECT_TRUE(r.terminated);
    }
    {
        Printer1284 p(c);
        DirectPort port(p);
        Host1284 host(port, 7);  // gives up one poll too early
        EXPECT_FALSE(host.negotiate(0x04));
    }
}

TEST(Printer1284, OddAndLyingLengths) {
    struct Case {
        std::vector<uint8_t> raw;
        uint16_t length;
        std::size_t textBytes;
    };
    std::vector<uint8_t> fifty = {0x00, 0x32};
    for (int i = 0; i < 48; ++i) fifty.push_back(static_cast<uint8_t>('a' + i % 26));
    std::vector<uint8_t> liar = {0x00, 0x64, 'M', 'F', 'G', ':', 'X', ';'};
    const std::vector<Case> cases = {
        {{0x00, 0x00}, 0, 0}, {{0x00, 0x01}, 1, 0}, {{0x00, 0x02}, 2, 0}, {fifty, 0x32, 48}, {liar, 100, 6},
    };
    for (const auto& tc : cases) {
        Printer1284 p(withRawId(tc.raw));
        DirectPort port(p);
        Host1284 host(port);
        const auto r = host.readDeviceId();
        ASSERT_TRUE(r.length) << tc.length;
        EXPECT_EQ(*r.length, tc.length);
        EXPECT_EQ(r.text.size(), tc.textBytes) << tc.length;
        EXPECT_EQ(p.reverseBytesSent(), tc.raw.size());
        EXPECT_TRUE(r.terminated);
    }
}

TEST(Printer1284, EmptyAndOneByteIdStreams) {
    {
        // Nothing to send: the printer says so at event 6 (nDataAvail and AckDataReq high).
        Printer1284 p(withRawId({}));
        DirectPort port(p);
        Host1284 host(port);
        const auto n = host.negotiate(0x04);
        ASSERT_TRUE(n);
        EXPECT_TRUE(n->xflag);
        EXPECT_FALSE(n->dataAvailable);
        EXPECT_TRUE(p.readLines().pError);
        EXPECT_FALSE(host.readByte());
    }
    {
        Printer1284 p(withRawId({0x00}));
        DirectPort port(p);
        Host1284 host(port);
        const auto r = host.readDeviceId();
        EXPECT_FALSE(r.length) << "one length byte only";
        EXPECT_TRUE(r.terminated);
    }
}

TEST(Printer1284, StopsPresentingDataThenReverseIdle) {
    PrinterConfig c = withId(kId);
    c.stopPresentingAfter = 12;
    Printer1284 p(c);
    DirectPort port(p);
    Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    const auto got = host.readAll();
    ASSERT_EQ(got.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 2, got.end()), bytes(kId.substr(0, 10)));
    auto l = p.readLines();
    EXPECT_TRUE(l.nFault);
    EXPECT_TRUE(l.pError);
    // HostBusy low with no data: reverse idle, AckDataReq low, no clock.
    host.set(&HostLines::nAutoFd, false);
    l = p.readLines();
    EXPECT_EQ(p.phase(), PrinterPhase::ReverseIdle);
    EXPECT_TRUE(l.nAck);
    EXPECT_FALSE(l.pError);
    EXPECT_TRUE(l.nFault);
    host.set(&HostLines::nAutoFd, true);
    EXPECT_EQ(p.phase(), PrinterPhase::ReverseHostBusy);
    EXPECT_TRUE(p.readLines().pError);
    // Termination from here needs HostBusy high (it is) and completes.
    EXPECT_TRUE(host.terminate());
}

TEST(Printer1284, PrinterThatIgnoresNegotiation) {
    PrinterConfig c = withId(kId);
    c.supports1284 = false;
    Printer1284 p(c);
    DirectPort port(p);
    Host1284 host(port, 50);
    EXPECT_FALSE(host.negotiate(0x04));
    EXPECT_EQ(p.negotiations(), 0u);
    EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    const auto l = p.peekLines();
    EXPECT_TRUE(l.nAck);
    EXPECT_TRUE(l.select);
    EXPECT_FALSE(l.pError);
}

TEST(Printer1284, NoPrinterAttachedFloats) {
    PrinterConfig c;
    c.attached = false;
    Printer1284 p(c);
    DirectPort port(p);
    Host1284 host(port, 40);
    EXPECT_EQ(p.readStatus(), 0x78);
    EXPECT_FALSE(host.negotiate(0x04));
    EXPECT_EQ(p.readStatus(), 0x78);
    EXPECT_FALSE(p.readyForData());
    EXPECT_FALSE(p.acceptByte('x'));
    EXPECT_TRUE(p.received().empty());
    EXPECT_FALSE(p.changesByItself());
}

TEST(Printer1284, TerminationWithoutHandshakeStillReturnsToCompatibility) {
    Printer1284 p(withId(kId));
    DirectPort port(p);
    Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    ASSERT_TRUE(host.readByte());
    // Event 22 and nothing more: the host just goes on printing.
    host.set(&HostLines::nSelectIn, false);
    EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    EXPECT_FALSE(p.readLines().nAck) << "event 24 acknowledgement";
    EXPECT_EQ(p.terminations(), 1u);
    ASSERT_TRUE(host.sendByte('A'));
    ASSERT_TRUE(host.sendByte('B'));
    EXPECT_EQ(p.received(), bytes("AB"));
    EXPECT_TRUE(p.readLines().nAck);
    EXPECT_EQ(p.handshakeTerminations(), 0u);
    // A controller transfer also ends an unfinished handshake.
    ASSERT_TRUE(host.negotiate(0x04));
    host.set(&HostLines::nSelectIn, false);
    p.readLines();
    EXPECT_TRUE(p.readyForData());
    EXPECT_TRUE(p.acceptByte('C'));
    EXPECT_TRUE(p.peekLines().nAck);
    EXPECT_EQ(p.received(), bytes("ABC"));
}

TEST(Printer1284, ImmediateTerminationWithHostBusyLow) {
    Printer1284 p(withId(kId));
    DirectPort port(p);
    Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    // Mid-nibble: HostBusy low, nAck low, then nSelectIn low while nAutoFd is still low.
    host.set(&HostLines::nAutoFd, false);
    p.readLines();
    ASSERT_FALSE(p.readLines().nAck);
    host.set(&HostLines::nSelectIn, false);
    EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    auto l = p.readLines();
    EXPECT_TRUE(l.nAck) << "no acknowledgement without event 22";
    EXPECT_TRUE(l.select);
    EXPECT_TRUE(l.nFault);
    EXPECT_FALSE(l.busy);
    host.set(&HostLines::nAutoFd, true);
    EXPECT_TRUE(p.readLines().nAck);
    EXPECT_EQ(p.handshakeTerminations(), 0u);
    // The next negotiation starts the ID from its first byte.
    EXPECT_EQ(host.readDeviceId().text, bytes(kId));
}

TEST(Printer1284, TerminationMidTransferDropsQueuedEdges) {
    PrinterConfig c = withId(kId);
    c.answerDelayPolls = 4;
    Printer1284 p(c);
    DirectPort port(p);
    Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    host.set(&HostLines::nAutoFd, false);  // event 7; events 8, 9 queued
    EXPECT_TRUE(p.changesByItself());
    EXPECT_TRUE(host.terminate());
    EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    EXPECT_EQ(p.handshakeTerminations(), 1u);
    for (int i = 0; i < 20; ++i) p.poll();
    EXPECT_FALSE(p.changesByItself());
    EXPECT_TRUE(p.readyForData());
}

TEST(Printer1284, NInitLowResetsAnyMode) {
    Printer1284 p(withId(kId));
    DirectPort port(p);
    Host1284 host(port);
    ASSERT_TRUE(host.negotiate(0x04));
    host.set(&HostLines::nInit, false);
    EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    auto l = p.readLines();
    EXPECT_TRUE(l.busy) << "held in reset";
    EXPECT_TRUE(l.nAck);
    EXPECT_FALSE(p.readyForData());
    host.set(&HostLines::nSelectIn, false);
    host.set(&HostLines::nAutoFd, true);
    host.set(&HostLines::nInit, true);
    EXPECT_FALSE(p.readLines().busy);
    ASSERT_TRUE(host.sendByte('k'));
    EXPECT_EQ(p.received(), bytes("k"));
}

TEST(Printer1284, HostAbandoningNegotiationBeforeTheStrobe) {
    Printer1284 p(withId(kId));
    DirectPort port(p);
    Host1284 host(port);
    p.setData(0x04);
    HostLines h = host.lines();
    h.nSelectIn = true;
    h.nAutoFd = false;
    p.setHostLines(h);
    ASSERT_FALSE(p.readLines().nAck);
    h.nAutoFd = true;  // no strobe
    p.setHostLines(h);
    EXPECT_EQ(p.phase(), PrinterPhase::Compatibility);
    EXPECT_TRUE(p.readLines().nAck);
    EXPECT_FALSE(p.lastExtensibilityByte().has_value());
}

TEST(Printer1284, ConfigurationChangesTakeEffectAtTheNextNegotiation) {
    Printer1284 p(withId(kId));
    DirectPort port(p);
    Host1284 host(port);
    p.setDeviceIdRaw({0x00, 0x05, 'a', 'b', 'c'});
    EXPECT_EQ(host.readDeviceId().text, bytes("abc"));
    p.setDeviceId("MDL:Z;");
    EXPECT_EQ(host.readDeviceId().text, bytes("MDL:Z;"));
    p.setAnswerDelay(3);
    Host1284 patient(port, 10);
    EXPECT_EQ(patient.readDeviceId().text, bytes("MDL:Z;"));
}
