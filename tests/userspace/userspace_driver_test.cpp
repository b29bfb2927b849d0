// The user-space driver through real libusb against simulated cables behind emulated usbfs nodes
// (tests/usbfs_cable), and its device-ID exchange against the Windows driver's own traffic on the host
// target.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <random>

#include "include/oslnk_ioctl.h"
#include "ostrolink_usb.h"
#include "scratch_machine.h"
#include "usbfs_cable.h"

namespace {

namespace usb = ostrolink::usb;
using ostrolink::testing::EmulatedCableSpec;
using ostrolink::testing::UsbfsCables;

constexpr char kHanwell[] = "MFG:Hanwell;CMD:PCL,PJL;MDL:LaserPress 6;CLS:PRINTER;";
constexpr char kAcme[] = "MFG:Acme;CMD:ESC/P;MDL:Jet 100;CLS:PRINTER;";

class LibusbCable : public ::testing::Test {
protected:
    std::size_t add(std::string serial, std::string deviceId, const std::function<void(EmulatedCableSpec&)>& tweak = {})
    {
        EmulatedCableSpec spec;
        spec.serialNumber = std::move(serial);
        spec.deviceId = std::move(deviceId);
        if (tweak) tweak(spec);
        return cables.add(std::move(spec));
    }
    std::size_t received(std::size_t index)
    {
        return cables.cable(index).withPrinter([](sim::Printer1284& p) { return p.received().size(); });
    }
    UsbfsCables cables;
};

std::vector<uint8_t> randomBytes(std::size_t n)
{
    std::vector<uint8_t> bytes(n);
    std::mt19937 random(1284);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// Discovery, selection by serial number and by location, a kernel driver in the way, the device IDs.
TEST_F(LibusbCable, FindsEveryCableAndOpensTheOneAskedFor)
{
    add("HW-1", kHanwell, [](EmulatedCableSpec& s) { s.kernelDriver = "usblp"; });
    add("AC-2", kAcme);
    usb::Context context;

    auto list = context.listCables();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].serialNumber, "HW-1");
    EXPECT_EQ(list[0].location, cables.location(0));
    EXPECT_EQ(list[1].serialNumber, "AC-2");
    EXPECT_EQ(list[1].location, cables.location(1));

    {
        usb::Cable acme(context, usb::CableSelector::bySerial("AC-2"));
        usb::DeviceId id = acme.readDeviceId();
        EXPECT_TRUE(id.valid);
        EXPECT_FALSE(id.truncated);
        EXPECT_EQ(id.text, kAcme);
        EXPECT_EQ(usb::parseDeviceId(id.text).model, "Jet 100");
        EXPECT_EQ(acme.bulkOutEndpoint(), 0x01);
        EXPECT_EQ(acme.bulkInEndpoint(), 0x81);
        // The controller is left in its printing state, as after the Windows driver's exchange.
        EXPECT_EQ(cables.cable(1).reg(6), 0x43);
        EXPECT_EQ(cables.cable(1).reg(2), 0x4C);
    }
    {
        // usblp holds the first cable's interface: opening detaches it.
        usb::Cable hanwell(context, usb::CableSelector::byLocation(cables.location(0)));
        EXPECT_EQ(hanwell.info().serialNumber, "HW-1");
        EXPECT_EQ(hanwell.readDeviceId(64).text, kHanwell);
        usb::DeviceId cut = hanwell.readDeviceId(10);
        EXPECT_EQ(cut.text, std::string(kHanwell).substr(0, 10));
        EXPECT_TRUE(cut.truncated);
        EXPECT_EQ(cables.kernelDriver(0), "");
    }
    EXPECT_EQ(cables.kernelDriver(0), "usblp");  // given back on close

    auto errorOf = [&](const usb::CableSelector& selector) {
        try {
            usb::Cable cable(context, selector);
        } catch (const usb::Error& e) {
            return std::pair(e.kind(), std::string(e.what()));
        }
        return std::pair(usb::ErrorKind::Io, std::string("opened"));
    };
    auto [kind, message] = errorOf(usb::CableSelector::bySerial("nope"));
    EXPECT_EQ(kind, usb::ErrorKind::NotFound);
    EXPECT_NE(message.find("nope"), std::string::npos);
    std::tie(kind, message) = errorOf(usb::CableSelector::any());
    EXPECT_EQ(kind, usb::ErrorKind::NotFound) << message;
    EXPECT_NE(message.find("several"), std::string::npos);
    EXPECT_EQ(errorOf(usb::CableSelector::byLocation("9-9")).first, usb::ErrorKind::NotFound);
}

// One job through paper-out, offline, a stall and a cancel: each stop counts exactly what the printer took,
// and going on from that count gives the printer every byte once, in order.
TEST_F(LibusbCable, PrintingStopsWithAnExactCountAndResumesWithoutLossOrRepeat)
{
    add("P-1", kHanwell);
    const std::vector<uint8_t> job = randomBytes(640 * 1024);
    usb::Context context;
    usb::Cable cable(context, usb::CableSelector::bySerial("P-1"));

    std::size_t sent = 0;
    std::vector<std::string> states;
    auto writeUntil = [&](std::size_t threshold, const std::function<void()>& fault, const std::atomic<bool>* stop = nullptr) {
        usb::WriteOptions options;
        options.transferSize = 4096;
        options.statusInterval = std::chrono::milliseconds(20);
        options.onStatus = [&](const usb::PrinterState& s) { states.push_back(s.words()); };
        bool fired = false;
        options.onTick = [&] {
            if (!fired && received(0) >= threshold) {
                fired = true;
                fault();
            }
        };
        options.stop = stop;
        usb::WriteResult r = cable.write(std::span(job).subspan(sent), options);
        EXPECT_EQ(sent + r.accepted, received(0)) << usb::toString(r.stop);
        EXPECT_GE(r.maxQueued, 2u);
        sent += r.accepted;
        return r;
    };

    usb::WriteResult r = writeUntil(100 * 1024, [&] { cables.setPaperEmpty(0, true); });
    EXPECT_EQ(r.stop, usb::WriteStop::PaperEmpty);
    EXPECT_TRUE(r.lastState.paperEmpty());
    EXPECT_LT(sent, job.size());
    EXPECT_EQ(states.back(), "paper empty, offline, error, busy");
    EXPECT_EQ(cable.state().words(), "paper empty, offline, error, busy");
    cables.setPaperEmpty(0, false);

    r = writeUntil(250 * 1024, [&] { cables.setOffline(0, true); });
    EXPECT_EQ(r.stop, usb::WriteStop::Offline);
    cables.setOffline(0, false);

    r = writeUntil(400 * 1024, [&] { cables.stallBulkOut(0); });
    EXPECT_EQ(r.stop, usb::WriteStop::Stalled);
    cables.cable(0).clearControlLog();
    cable.recoverPipes();
    // As the Windows driver's recovery: the write pipe's endpoint status, then both halts cleared.
    const std::vector<sim::SetupPacket> recovery{{0xC2, 0, 0, 0x01, 2}, {0x02, 1, 0, 0x01, 0}, {0x02, 1, 0, 0x81, 0}};
    EXPECT_TRUE(cables.controlLog(0) == recovery);

    std::atomic<bool> stop{false};
    r = writeUntil(500 * 1024, [&] { stop = true; }, &stop);
    EXPECT_EQ(r.stop, usb::WriteStop::Cancelled);

    r = writeUntil(job.size(), [] {});
    EXPECT_EQ(r.stop, usb::WriteStop::Done) << r.message;
    EXPECT_EQ(sent, job.size());
    EXPECT_TRUE(cables.printed(0) == job) << "the printer's bytes differ from the job";
    EXPECT_GE(cables.stats(0).maxBulkOutInFlight, 2u);
    EXPECT_GT(cables.stats(0).discarded, 0u);
}

TEST_F(LibusbCable, UnplugMidJobEndsTheWriteAsGone)
{
    add("U-1", kAcme);
    const std::vector<uint8_t> job = randomBytes(256 * 1024);
    usb::Context context;
    usb::Cable cable(context, usb::CableSelector::any());
    usb::WriteOptions options;
    options.transferSize = 4096;
    bool unplugged = false;
    options.onTick = [&] {
        if (!unplugged && received(0) > 0) {
            unplugged = true;
            cables.unplug(0);
        }
    };
    usb::WriteResult r = cable.write(job, options);
    EXPECT_EQ(r.stop, usb::WriteStop::Gone);
    EXPECT_EQ(r.accepted, received(0));
    try {
        cable.portStatus();
        ADD_FAILURE() << "a request to an unplugged cable succeeded";
    } catch (const usb::Error& e) {
        EXPECT_EQ(e.kind(), usb::ErrorKind::Gone);
    }
}

// A back channel whose endpoint stalls is left alone for the rest of the write, not resubmitted in a busy loop.
TEST_F(LibusbCable, StalledBackChannelDoesNotSpinTheWrite)
{
    add("B-1", kAcme);
    usb::Context context;
    usb::Cable cable(context, usb::CableSelector::any());
    cables.cable(0).haltEndpoint(cable.bulkInEndpoint());
    const std::vector<uint8_t> job = randomBytes(64 * 1024);
    usb::WriteOptions options;
    options.transferSize = 4096;  // many completions, each a turn of the loop that would resubmit
    options.onBackChannel = [](std::span<const uint8_t>) {};
    usb::WriteResult r = cable.write(job, options);
    EXPECT_EQ(r.stop, usb::WriteStop::Done) << r.message;
    EXPECT_LE(cables.stats(0).bulkInUrbs, 1u);
}

// The Windows driver's IOCTL_KVUSB_GET_DEVICE_ID and the library's readDeviceId, against the same printers:
// the same setup packets in the same order, from the host target's traffic log and the emulated cable.
TEST_F(LibusbCable, DeviceIdExchangeSendsTheWindowsDriversSetupPackets)
{
    struct Case {
        const char* name;
        std::function<void(sim::PrinterConfig&)> printer;
    };
    const Case cases[] = {
        {"answers after 2 polls", [](sim::PrinterConfig& p) { p.answerDelayPolls = 2; }},
        {"stops presenting data after 9 bytes", [](sim::PrinterConfig& p) { p.stopPresentingAfter = 9; }},
        {"sends length 2", [](sim::PrinterConfig& p) { p.deviceIdRaw = std::vector<uint8_t>{0, 2}; }},
        {"knows no IEEE 1284", [](sim::PrinterConfig& p) { p.supports1284 = false; }},
    };
    usb::Context context;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        sim::PrinterConfig printer;
        printer.deviceId = "MFG:Acme;MDL:J1;";
        cases[i].printer(printer);

        std::vector<sim::SetupPacket> windows;
        {
            testrig::ScratchMachine scratch("userspace_device_id");
            w98::CableOptions options;
            options.printer = printer;
            scratch.machine().plug(options);
            auto opened = scratch.machine().kernel().user().open("\\\\.\\KVUSB1");
            ASSERT_EQ(opened.status, 0);
            const std::size_t mark = scratch.machine().usb().log().size();
            std::vector<uint8_t> buffer(usb::kDeviceIdBufferSize);
            scratch.machine().kernel().user().deviceControl(opened.handle, IOCTL_KVUSB_GET_DEVICE_ID, nullptr, 0,
                                                            buffer.data(), static_cast<uint32_t>(buffer.size()));
            scratch.machine().kernel().user().close(opened.handle);
            auto records = scratch.machine().usb().log().records();
            for (std::size_t r = mark; r < records.size(); ++r) {
                if (records[r].kind != w98::TransferKind::Control) continue;
                const auto& s = records[r].setup;
                windows.push_back({s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength});
            }
        }

        EmulatedCableSpec spec;
        spec.serialNumber = "EQ-" + std::to_string(i);
        spec.printer = printer;
        std::size_t index = cables.add(spec);
        usb::Cable cable(context, usb::CableSelector::bySerial(spec.serialNumber));
        // The Windows driver's start has already run one exchange and the register set-up when the control
        // request comes: so does the library here, and the printer is in the same state for the compared one.
        cable.readDeviceId();
        cables.cable(index).clearControlLog();
        cable.readDeviceId();
        std::vector<sim::SetupPacket> library = cables.controlLog(index);

        ASSERT_GT(windows.size(), 10u);
        EXPECT_EQ(library.size(), windows.size());
        auto firstDifference = std::mismatch(library.begin(), library.end(), windows.begin(), windows.end());
        if (firstDifference.first != library.end() && firstDifference.second != windows.end()) {
            auto text = [](const sim::SetupPacket& s) {
                char t[48];
                std::snprintf(t, sizeof t, "%02X %02X %04X %04X %04X", s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength);
                return std::string(t);
            };
            ADD_FAILURE() << "packet " << (firstDifference.first - library.begin()) << ": library "
                          << text(*firstDifference.first) << ", Windows driver " << text(*firstDifference.second);
        }
    }
}

// The command-line tool as a person runs it, in a child process that sees the emulated cables.
TEST_F(LibusbCable, ToolListsCablesAndDecodesStatusAndRefusesBadInput)
{
    add("T-1", kHanwell);
    add("T-2", "MFG:Acme\x01\"q\";MDL:Jet\xE9;");
    std::vector<std::string> environment;
    for (const auto& [name, value] : cables.childEnvironment()) environment.push_back(name + "=" + value);
    auto run = [&](std::vector<std::string> args) {
        std::vector<char*> argv{const_cast<char*>(OSTROLINK_USB_TOOL)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_t child = fork();
        if (child == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return std::pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, text);
    };

    auto [code, text] = run({"list"});
    EXPECT_EQ(code, 0) << text;
    EXPECT_NE(text.find("1-1"), std::string::npos) << text;
    EXPECT_NE(text.find("serial T-1"), std::string::npos) << text;
    EXPECT_NE(text.find("Hanwell LaserPress 6"), std::string::npos) << text;
    EXPECT_NE(text.find("Acme\\x01\"q\" Jet\\xE9"), std::string::npos) << text;

    cables.setPaperEmpty(1, true);
    std::tie(code, text) = run({"--serial", "T-2", "status"});
    EXPECT_EQ(code, 0) << text;
    EXPECT_EQ(text.rfind("paper empty, offline, error, busy", 0), 0u) << text;
    std::tie(code, text) = run({"--location", "1-1", "status"});
    EXPECT_EQ(text.rfind("ready", 0), 0u) << text;

    std::tie(code, text) = run({"--location", "1-1", "device-id"});
    EXPECT_EQ(text, std::string(kHanwell) + "\n");
    std::tie(code, text) = run({"--serial", "T-1", "reset"});
    EXPECT_EQ(code, 0) << text;
    EXPECT_EQ(cables.cable(0).softResets(), 1u);

    std::tie(code, text) = run({"status"});
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("several cables match"), std::string::npos) << text;
    std::tie(code, text) = run({"--serial", "gone", "recover"});
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("no Ostrolink cable with serial number \"gone\""), std::string::npos) << text;
    EXPECT_EQ(run({"frobnicate"}).first, 2);
    EXPECT_EQ(run({}).first, 2);
}

}  // namespace

int main(int argc, char** argv)
{
    UsbfsCables::ensurePreloaded(argv);  // libusb in this process sees the emulated cables only under it
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
