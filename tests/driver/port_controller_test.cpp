// The controller's register commands as the USB log records them, and the IEEE 1284 device-ID exchange
// against the simulated printer: working, silent, odd lengths, short destination, a printer that stops
// halfway, a failing first write, handshake poll counts and durations, and allocation failures.
#include "driver_fixtures.h"

#include <sstream>

namespace testrig {
namespace {

// The register traffic as text: "W07F8" for a register write (wValue in hex), "R" for a snapshot read,
// runs of reads folded as "Rx35"; anything else by its setup packet.
std::string Trace(const std::vector<w98::TrafficRecord>& records)
{
    std::vector<std::string> ops;
    for (const auto& r : records) {
        const auto& s = r.setup;
        char text[32];
        if (s.bmRequestType == 0x40 && s.bRequest == 4) {
            std::snprintf(text, sizeof text, "W%04X", s.wValue);
        } else if (s.bmRequestType == 0xC0 && s.bRequest == 3) {
            std::snprintf(text, sizeof text, "R");
        } else {
            std::snprintf(text, sizeof text, "<%02X %02X %04X %04X %04X>", s.bmRequestType, s.bRequest, s.wValue,
                          s.wIndex, s.wLength);
        }
        ops.emplace_back(text);
    }
    std::ostringstream out;
    for (size_t i = 0; i < ops.size();) {
        size_t run = 1;
        while (ops[i] == "R" && i + run < ops.size() && ops[i + run] == "R") ++run;
        if (out.tellp() > 0) out << ' ';
        out << ops[i];
        if (run > 1) out << 'x' << run;
        i += run;
    }
    return out.str();
}

int CountOf(const std::string& trace, const std::string& op)
{
    int count = 0;
    std::istringstream words(trace);
    std::string word;
    while (words >> word) {
        if (word == op) ++count;
        else if (word.rfind(op + "x", 0) == 0) count += std::stoi(word.substr(op.size() + 1));
    }
    return count;
}

std::vector<w98::TrafficRecord> WritesOnly(const std::vector<w98::TrafficRecord>& records)
{
    std::vector<w98::TrafficRecord> writes;
    for (const auto& r : records) {
        if (r.setup.bmRequestType == 0x40 && r.setup.bRequest == 4) writes.push_back(r);
    }
    return writes;
}

int Writes(const std::vector<w98::TrafficRecord>& records)
{
    int n = 0;
    for (const auto& r : records) n += (r.setup.bmRequestType == 0x40 && r.setup.bRequest == 4) ? 1 : 0;
    return n;
}

w98::FaultRule FailRequest(uint8_t type, uint8_t request, std::optional<uint16_t> value, w98::FaultAction action)
{
    w98::FaultRule rule;
    rule.match.bmRequestType = type;
    rule.match.bRequest = request;
    rule.match.wValue = value;
    rule.action = action;
    return rule;
}

class PortController : public MachineTest {
protected:
    // Plugs a cable with `options`, then reads the device ID once more into a buffer of `size` bytes
    // filled with 0xEE, of which `length` are offered. The traffic of that read is in `records_`.
    int32_t readId(w98::CableOptions options, USHORT length, size_t size = 1100)
    {
        number_ = plug(std::move(options));
        buffer_.assign(size, 0xEE);
        const size_t mark = controlMark();
        start_ = now();
        const int32_t status = ReadDeviceId(fdo(number_), buffer_.data(), length);
        elapsed_ = now() - start_;
        records_ = controlRecords(mark);
        return status;
    }
    std::string text(size_t from, size_t n) { return std::string(buffer_.begin() + from, buffer_.begin() + from + n); }
    bool allZero(size_t from, size_t n)
    {
        return std::all_of(buffer_.begin() + from, buffer_.begin() + from + n, [](uint8_t b) { return b == 0; });
    }

    int number_ = 0;
    std::vector<uint8_t> buffer_;
    std::vector<w98::TrafficRecord> records_;
    w98::Ticks start_ = 0;
    w98::Ticks elapsed_ = 0;
};

TEST_F(PortController, RegisterCommandsSendTheirSetupPackets)
{
    const int number = plug(silentPrinterCable());
    PDEVICE_OBJECT device = fdo(number);
    const size_t mark = controlMark();

    UCHAR snapshot[REGISTER_SNAPSHOT_SIZE + 1];
    std::fill(std::begin(snapshot), std::end(snapshot), 0xEE);
    EXPECT_EQ(ReadPortRegisters(device, snapshot), kSuccess);
    EXPECT_EQ(WritePortRegister(device, 0x02, 0x4C), kSuccess);
    EXPECT_EQ(WritePortRegister(device, 0x07, 0xF8), kSuccess);
    UCHAR status = 0xEE;
    EXPECT_EQ(GetPortStatus(device, &status), kSuccess);
    EXPECT_EQ(SoftReset(device), kSuccess);

    const auto records = controlRecords(mark);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].setup, Packet(0xC0, 3, 0x0001, 0, 7));
    EXPECT_EQ(records[1].setup, Packet(0x40, 4, 0x024C, 0, 0));
    EXPECT_EQ(records[2].setup, Packet(0x40, 4, 0x07F8, 0, 0));
    EXPECT_EQ(records[3].setup, Packet(0xA1, 1, 0x0000, 0, 1));
    EXPECT_EQ(records[4].setup, Packet(0x23, 2, 0x0000, 0, 0));
    EXPECT_EQ(records[0].urbFunction, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(records[3].urbFunction, URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(records[4].urbFunction, URB_FUNCTION_CLASS_OTHER);

    // The snapshot is registers 1..7 as the cable holds them; the byte after it is not touched.
    EXPECT_EQ(snapshot[1], cable(number).reg(2));
    EXPECT_EQ(snapshot[1], 0x4C);  // as the start left it
    EXPECT_EQ(snapshot[5], cable(number).reg(6));
    EXPECT_EQ(snapshot[REGISTER_SNAPSHOT_SIZE], 0xEE);
    EXPECT_EQ(cable(number).reg(7), 0xF8);
    EXPECT_EQ(status & 0x38, 0x18);  // selected, no error, paper present
    EXPECT_EQ(cable(number).softResets(), 2u);  // one at start, one here
}

TEST_F(PortController, MissingDestinationsFailWithoutATransfer)
{
    const int number = plug(silentPrinterCable());
    const size_t mark = controlMark();
    EXPECT_EQ(ReadPortRegisters(fdo(number), nullptr), kNoMemory);
    EXPECT_EQ(GetPortStatus(fdo(number), nullptr), kNoMemory);
    EXPECT_EQ(ReadNibbleByte(fdo(number), nullptr), kNoMemory);
    EXPECT_TRUE(controlRecords(mark).empty());
}

TEST_F(PortController, FailedReadsLeaveTheDestinationCleared)
{
    w98::CableOptions options = silentPrinterCable();
    options.cable.stalledRequests = {{0xA1, 1}};
    const int number = plug(options);
    UCHAR status = 0xEE;
    EXPECT_LT(GetPortStatus(fdo(number), &status), 0);
    EXPECT_EQ(status, 0);

    usb().faults().add(FailRequest(0xC0, 3, std::nullopt, w98::FaultAction::Error));
    UCHAR snapshot[REGISTER_SNAPSHOT_SIZE];
    std::fill(std::begin(snapshot), std::end(snapshot), 0xEE);
    EXPECT_LT(ReadPortRegisters(fdo(number), snapshot), 0);
    EXPECT_TRUE(std::all_of(std::begin(snapshot), std::end(snapshot), [](UCHAR b) { return b == 0; }));
}

TEST_F(PortController, DeviceIdFromAWorkingPrinterArrivesWithoutWaiting)
{
    w98::CableOptions options = syncCable();
    const std::string id = options.printer.deviceId;
    ASSERT_EQ(readId(options, 1024), kSuccess);
    EXPECT_EQ(text(0, id.size()), id);
    EXPECT_TRUE(allZero(id.size(), 1024 - id.size()));
    EXPECT_EQ(buffer_[1024], 0xEE);  // nothing past the offered length

    // Set-up, negotiation, then 9 register transfers per byte (4 writes, 5 reads) for the two length bytes
    // and every ID byte, then the termination.
    const std::string trace = Trace(records_);
    EXPECT_EQ(trace.rfind("W07F8 W0801 W0603 W0004 R W0246 R W0247 R W0244 R", 0), 0u) << trace;
    EXPECT_EQ(Writes(records_), 4 + 1 + 2 + 4 * static_cast<int>(id.size() + 2) + 2) << trace;
    // Nothing made the printer wait: no handshake slept.
    const size_t exchangeReads = 1 + 1 + 1 + 5 * (id.size() + 2);
    EXPECT_GE(static_cast<size_t>(CountOf(trace, "R")), exchangeReads);
    cable(number_).withPrinter([&](sim::Printer1284& printer) {
        EXPECT_EQ(printer.lastExtensibilityByte().value_or(0xFF), 0x04);
        EXPECT_EQ(printer.reverseBytesSent(), id.size() + 2);
    });

    // The start read the same ID into the record.
    EXPECT_EQ(extension(number_).DeviceIdValid, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(extension(number_).DeviceId)), id);
}

TEST_F(PortController, ShortIdGoesThroughEveryHandshakeOnTheWire)
{
    w98::CableOptions options = syncCable();
    options.printer.deviceIdRaw = std::vector<uint8_t>{0x00, 0x04, 'O', 'K'};
    ASSERT_EQ(readId(options, 8, 8), kSuccess);
    EXPECT_EQ(text(0, 2), "OK");
    EXPECT_TRUE(allZero(2, 6));
    // The control-line edges: set-up and negotiation; per byte HostBusy low, high, low, high (one nibble
    // per low-high pair); then the termination, whose first wait times out (nSelectIn stays high).
    std::string expected = "W07F8 W0801 W0603 W0004 W0246 W0247 W0244";
    for (int i = 0; i < 4; ++i) expected += " W0246 W0244 W0246 W0244";
    expected += " W0244 W0246";
    EXPECT_EQ(Trace(WritesOnly(records_)), expected);
    // Every byte begins with its nFault check, so there is at least one read between two edges, and
    // no wait polls more than 35 times.
    const std::string trace = Trace(records_);
    EXPECT_EQ(trace.find("W0246 W"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("W0244 W"), std::string::npos) << trace;
    for (int n = 36; n < 80; ++n) EXPECT_EQ(trace.find("Rx" + std::to_string(n) + " "), std::string::npos) << trace;
}

TEST_F(PortController, SilentPrinterTimesOutAfterThirtyFivePollsAndStillTerminates)
{
    ASSERT_EQ(readId(silentPrinterCable(), 1024), kUnsuccessful);
    EXPECT_TRUE(allZero(0, 1024));
    const std::string trace = Trace(records_);
    // The negotiation wait polls 35 times, 1 ms apart; then the termination runs in full (its read,
    // joined in the trace with the 35 polls, and two waits, the first of which times out as well).
    EXPECT_EQ(trace, "W07F8 W0801 W0603 W0004 R W0246 Rx36 W0244 Rx35 W0246 R");
    EXPECT_EQ(Writes(records_), 4 + 1 + 2) << trace;
    ASSERT_GE(records_.size(), 42u);
    EXPECT_EQ(records_[41].submitTime - records_[5].submitTime, 35 * w98::Clock::kMillisecond);
    EXPECT_EQ(extension(number_).DeviceIdValid, 0);
    EXPECT_TRUE(devnode(number_).children.empty());
}

TEST_F(PortController, EachPollWaitsOneMillisecondForASlowPrinter)
{
    for (unsigned delay : {0u, 1u, 4u}) {
        SCOPED_TRACE(delay);
        w98::CableOptions options = syncCable();
        options.printer.answerDelayPolls = delay;
        EXPECT_EQ(readId(options, 1024), kSuccess);
        // records_[5] is the opening move (W0246); the polls of the negotiation wait follow until the
        // strobe (W0247). Every poll that misses costs exactly one 1 ms sleep.
        ASSERT_EQ(records_[5].setup, Packet(0x40, 4, 0x0246, 0, 0));
        size_t strobe = 6;
        while (strobe < records_.size() && records_[strobe].setup.bRequest == 3) ++strobe;
        ASSERT_LT(strobe, records_.size());
        ASSERT_EQ(records_[strobe].setup, Packet(0x40, 4, 0x0247, 0, 0));
        const size_t polls = strobe - 6;
        if (delay == 0) EXPECT_EQ(polls, 1u);
        else EXPECT_GT(polls, static_cast<size_t>(delay));
        EXPECT_LE(polls, 35u);
        EXPECT_EQ(records_[strobe].submitTime - records_[5].submitTime,
                  static_cast<w98::Ticks>(polls - 1) * w98::Clock::kMillisecond);
        machine().unplug(number_);
    }
}

TEST_F(PortController, WithoutSynchronousControlEveryTransferCostsAFrame)
{
    w98::CableOptions options = silentPrinterCable();
    options.port.synchronousControl = false;
    ASSERT_EQ(readId(options, 1024), kUnsuccessful);
    // The write before the wait, then 35 reads of one frame each, each followed by a 1 ms sleep.
    ASSERT_GE(records_.size(), 42u);
    EXPECT_EQ(records_[41].submitTime - records_[5].submitTime, (1 + 35 + 35) * w98::Clock::kMillisecond);
}

TEST_F(PortController, LengthZeroFailsAndLengthsOneAndTwoReadNothing)
{
    const std::vector<std::pair<std::vector<uint8_t>, int32_t>> cases = {
        {{0x00, 0x00}, kUnsuccessful},
        {{0x00, 0x01}, kSuccess},
        {{0x00, 0x02}, kSuccess},
    };
    for (const auto& [raw, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(raw[1]));
        w98::CableOptions options = syncCable();
        options.printer.deviceIdRaw = raw;
        EXPECT_EQ(readId(options, 64, 64), expected);
        EXPECT_TRUE(allZero(0, 64));
        EXPECT_EQ(Writes(records_), 4 + 1 + 2 + 4 * 2 + 2) << Trace(records_);  // the two length bytes only
        machine().unplug(number_);
    }
}

TEST_F(PortController, LengthFiftyReadsFortyEightBytes)
{
    std::vector<uint8_t> raw = {0x00, 0x32};
    for (int i = 0; i < 60; ++i) raw.push_back(static_cast<uint8_t>('A' + i % 26));
    w98::CableOptions options = syncCable();
    options.printer.deviceIdRaw = raw;
    ASSERT_EQ(readId(options, 1024), kSuccess);
    EXPECT_EQ(std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + 48), std::vector<uint8_t>(raw.begin() + 2, raw.begin() + 50));
    EXPECT_TRUE(allZero(48, 1024 - 48));
    EXPECT_EQ(Writes(records_), 4 + 1 + 2 + 4 * 50 + 2);
}

TEST_F(PortController, ShortDestinationGetsThePrefixWhileTheWholeIdIsRead)
{
    w98::CableOptions options = syncCable();
    const std::string id = options.printer.deviceId;
    ASSERT_EQ(readId(options, 10, 16), kSuccess);
    EXPECT_EQ(text(0, 10), id.substr(0, 10));
    for (size_t i = 10; i < 16; ++i) EXPECT_EQ(buffer_[i], 0xEE) << i;  // no terminating zero, no overrun
    cable(number_).withPrinter([&](sim::Printer1284& printer) { EXPECT_EQ(printer.reverseBytesSent(), id.size() + 2); });
}

TEST_F(PortController, PrinterThatStopsHalfwayDeliversWhatItSent)
{
    w98::CableOptions options = syncCable();
    const std::string id = options.printer.deviceId;
    options.printer.stopPresentingAfter = 2 + 20;
    ASSERT_EQ(readId(options, 1024), kSuccess);
    EXPECT_EQ(text(0, 20), id.substr(0, 20));
    EXPECT_TRUE(allZero(20, 1024 - 20));
}

TEST_F(PortController, FailingFirstWriteEndsAtOnceWithoutTermination)
{
    const int number = plug(syncCable());
    usb().faults().add(FailRequest(0x40, 4, 0x07F8, w98::FaultAction::Error));
    std::vector<uint8_t> buffer(32, 0xEE);
    const size_t mark = controlMark();
    EXPECT_EQ(ReadDeviceId(fdo(number), buffer.data(), 32), kUnsuccessful);
    EXPECT_EQ(Trace(controlRecords(mark)), "W07F8");
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(PortController, InitPortRegistersWritesTheSetUpTwoMillisecondsApart)
{
    const int number = plug(silentPrinterCable());
    cable(number).control(sim::SetupPacket{0x40, 4, 0x0600, 0, 0}, {});  // disturb register 6
    const size_t mark = controlMark();
    const w98::Ticks before = now();
    EXPECT_EQ(InitPortRegisters(fdo(number)), kSuccess);
    EXPECT_EQ(now() - before, 5 * 2 * w98::Clock::kMillisecond);
    const auto records = controlRecords(mark);
    EXPECT_EQ(Trace(records), "R W07F8 W0643 W024C W0801 R");
    ASSERT_EQ(records.size(), 6u);
    for (size_t i = 1; i < records.size(); ++i) {
        EXPECT_EQ(records[i].submitTime - records[i - 1].submitTime, 2 * w98::Clock::kMillisecond) << i;
    }
    EXPECT_EQ(cable(number).reg(6), 0x43);
    EXPECT_EQ(cable(number).reg(2), 0x4C);

    // A failing first read: nothing is written.
    usb().faults().add(FailRequest(0xC0, 3, std::nullopt, w98::FaultAction::Stall));
    const size_t again = controlMark();
    EXPECT_LT(InitPortRegisters(fdo(number)), 0);
    EXPECT_EQ(Trace(controlRecords(again)), "R");
}

TEST_F(PortController, EveryAllocationFailingInTurnLeaksNothing)
{
    const int number = plug(silentPrinterCable());
    PDEVICE_OBJECT device = fdo(number);
    std::vector<uint8_t> buffer(64);
    const size_t blocks = driverBlocks();
    const uint64_t before = kernel().pool().allocationCount();
    ReadDeviceId(device, buffer.data(), 64);
    InitPortRegisters(device);
    const uint64_t perRound = kernel().pool().allocationCount() - before;
    ASSERT_GT(perRound, 10u);

    for (uint64_t k = 1; k <= perRound; ++k) {
        SCOPED_TRACE(k);
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        kernel().pool().failNth(k);
        const int32_t status = ReadDeviceId(device, buffer.data(), 64);
        InitPortRegisters(device);
        kernel().pool().clearFaults();
        EXPECT_LT(status, 0);  // the silent printer never gives an ID
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(driverBlocks(), blocks);
        EXPECT_EQ(kernel().io().outstandingRequests(), 0u);
    }
}

}  // namespace
}  // namespace testrig
