// The backend run as cupsd runs it (argv, DEVICE_URI, print data on stdin or in a file, back channel on
// fd 3, side channel on fd 4), over real libusb and simulated cables behind emulated usbfs nodes.
#include <cups/backend.h>
#include <cups/sidechannel.h>
#include <signal.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "backend_run.h"
#include "usbfs_cable.h"

namespace ostrolink::testing {
namespace {

using namespace std::chrono_literals;

const std::string kBackend = OSTROLINK_CUPS_BACKEND;
const std::string kDefaultId = sim::PrinterConfig{}.deviceId;

std::vector<uint8_t> pattern(std::size_t size, unsigned seed) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed + i / 251) & 0xFF);
    return bytes;
}

Environment jobEnvironment(const UsbfsCables& cables, const std::string& uri) {
    Environment env = cables.childEnvironment();
    env.emplace_back("DEVICE_URI", uri);
    return env;
}

std::vector<std::string> jobArgs(const std::string& uri, const std::string& copies) {
    return {uri, "17", "alice", "report.txt", copies, "job-sheets=none"};
}

TEST(CupsBackend, ListsThreeCablesThenPrintsAFileWithItsCopies) {
    UsbfsCables cables;
    cables.add({.serialNumber = "OSL0001"});
    // No MFG or MDL, quotes, a backslash, a control character and a Latin-1 byte.
    cables.add({.serialNumber = "OSL0002", .deviceId = "CMD:ESC/P;DES:\"Jet\\7\" \x07\xE9;"});
    // A printer that stops sending its device ID part-way (as one longer than the reader's buffer is cut).
    const std::string longId = "MFG:Hanwell;MDL:Long 1;X23:abcdefghij;X38:abcdefghij;X53:abcdefghij;";
    EmulatedCableSpec cutShort{.serialNumber = "OSL0003", .deviceId = longId};
    cutShort.printer.stopPresentingAfter = 50;  // the two length bytes and 48 of text
    cables.add(cutShort);

    BackendRun list(kBackend, {"ostrolink"}, cables.childEnvironment());
    ASSERT_EQ(list.waitExit(30s), CUPS_BACKEND_OK) << list.log();
    std::vector<std::vector<std::string>> lines;
    std::istringstream out(list.out());
    for (std::string line; std::getline(out, line);) {
        auto fields = parseDiscoveryLine(line);
        ASSERT_TRUE(fields) << line;
        lines.push_back(*fields);
    }
    ASSERT_EQ(lines.size(), 3u) << list.out();
    EXPECT_EQ(lines[0][1], "ostrolink://Hanwell/LaserPress%206?serial=OSL0001");
    EXPECT_EQ(lines[0][2], "Hanwell LaserPress 6");
    EXPECT_EQ(lines[0][4], kDefaultId);
    EXPECT_EQ(lines[1][1], "ostrolink://Unknown/Unknown?serial=OSL0002");
    EXPECT_EQ(lines[1][4], "CMD:ESC/P;DES:\"Jet\\7\" ?\xC3\xA9;");
    // Cut after the last whole pair within what was read, and said so.
    EXPECT_EQ(lines[2][1], "ostrolink://Hanwell/Long%201?serial=OSL0003");
    EXPECT_EQ(lines[2][4], "MFG:Hanwell;MDL:Long 1;X23:abcdefghij;");
    EXPECT_NE(list.log().find("cut short"), std::string::npos) << list.log();

    // A raw job from a file: the backend makes the copies. It goes to the cable the URI names only.
    const std::vector<uint8_t> file = pattern(150 * 1024, 1);
    const std::string path = ::testing::TempDir() + "/cups_backend_job." + std::to_string(getpid());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
    std::vector<std::string> args = jobArgs(lines[1][1], "2");
    args.push_back(path);
    BackendRun job(kBackend, args, jobEnvironment(cables, lines[1][1]));
    ASSERT_EQ(job.waitExit(30s), CUPS_BACKEND_OK) << job.log();
    std::remove(path.c_str());
    std::vector<uint8_t> twice = file;
    twice.insert(twice.end(), file.begin(), file.end());
    EXPECT_EQ(cables.printed(1), twice);
    EXPECT_TRUE(cables.printed(0).empty());
}

TEST(CupsBackend, StdinJobWaitsOutPaperOutOfflineAndAStallWhileServingBothChannels) {
    UsbfsCables cables;
    cables.add();
    const std::string uri = "ostrolink://Hanwell/LaserPress%206?serial=OSL0001";
    // From standard input the filters made the copies: "3" must not print three times.
    BackendRun job(kBackend, jobArgs(uri, "3"), jobEnvironment(cables, uri));

    auto reply = job.side(CUPS_SC_CMD_GET_DEVICE_ID, 10s);
    ASSERT_TRUE(reply) << job.log();
    EXPECT_EQ(reply->status, CUPS_SC_STATUS_OK);
    EXPECT_EQ(reply->data, kDefaultId);
    reply = job.side(CUPS_SC_CMD_GET_BIDI, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->data, std::string(1, CUPS_SC_BIDI_SUPPORTED));
    const unsigned resets = cables.cable(0).softResets();
    reply = job.side(CUPS_SC_CMD_SOFT_RESET, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, CUPS_SC_STATUS_OK);
    EXPECT_EQ(cables.cable(0).softResets(), resets + 1);

    const std::vector<uint8_t> data = pattern(448 * 1024, 2);
    const auto part = [&](std::size_t fromKiB, std::size_t toKiB) {
        return std::span(data).subspan(fromKiB * 1024, (toKiB - fromKiB) * 1024);
    };
    const auto printedSize = [&] { return cables.printed(0).size(); };
    job.writeInput(part(0, 128));
    ASSERT_TRUE(eventually([&] { return printedSize() == 128 * 1024; }, 10s)) << job.log();

    // Paper out while a transfer waits: reported within 2 s, visible on the side channel, cleared after.
    cables.setPaperEmpty(0, true);
    job.writeInput(part(128, 256));
    EXPECT_TRUE(job.waitForLog("STATE: +media-empty-error", 2s)) << job.log();
    reply = job.side(CUPS_SC_CMD_GET_STATE, 5s);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->data.size(), 1u);
    EXPECT_TRUE(reply->data[0] & CUPS_SC_STATE_MEDIA_EMPTY);
    cables.setPaperEmpty(0, false);
    EXPECT_TRUE(job.waitForLog("STATE: -media-empty-error", 2s)) << job.log();
    ASSERT_TRUE(eventually([&] { return printedSize() == 256 * 1024; }, 10s)) << job.log();

    cables.setOffline(0, true);
    job.writeInput(part(256, 320));
    EXPECT_TRUE(job.waitForLog("STATE: +offline-report", 2s)) << job.log();
    cables.setOffline(0, false);
    EXPECT_TRUE(job.waitForLog("STATE: -offline-report", 2s)) << job.log();

    // What the printer sends back reaches the filters on fd 3.
    const std::vector<uint8_t> status = {'@', 'P', 'J', 'L', ' ', 'O', 'K', '\r', '\n'};
    cables.cable(0).queueBulkIn(status);
    EXPECT_TRUE(job.waitForBackChannel(status.size(), 5s)) << job.log();
    EXPECT_EQ(job.backChannel(), status);

    cables.stallBulkOut(0);
    job.writeInput(part(320, 448));
    reply = job.side(CUPS_SC_CMD_DRAIN_OUTPUT, 20s);
    ASSERT_TRUE(reply) << job.log();
    EXPECT_EQ(reply->status, CUPS_SC_STATUS_OK);
    EXPECT_EQ(printedSize(), data.size());  // drained means printed
    EXPECT_NE(job.log().find("stalled"), std::string::npos) << job.log();

    job.closeInput();
    ASSERT_EQ(job.waitExit(10s), CUPS_BACKEND_OK) << job.log();
    EXPECT_EQ(cables.printed(0), data);  // no byte lost or repeated across the stops
    EXPECT_EQ(job.log().find("ERROR"), std::string::npos) << job.log();
}

TEST(CupsBackend, BadArgumentsMissingCablesSigtermAndUnplugExitWithTheFittingCode) {
    UsbfsCables cables;
    cables.add({.serialNumber = "OSL0001"});
    cables.add({.serialNumber = "OSL0002"});
    const std::string uri1 = "ostrolink://Hanwell/LaserPress%206?serial=OSL0001";
    const std::string uri2 = "ostrolink://Hanwell/LaserPress%206?serial=OSL0002";
    struct Case {
        std::string uri, copies;
        int exit;
        const char* says;
    };
    for (const Case& c : {Case{uri1, "0", CUPS_BACKEND_CANCEL, "copies"},
                          Case{uri1, "1x", CUPS_BACKEND_CANCEL, "copies"},
                          Case{"ostrolink://Hanwell/LaserPress%206", "1", CUPS_BACKEND_STOP, "names no cable"},
                          Case{"ostrolink://H/M?serial=GONE", "1", CUPS_BACKEND_RETRY, "serial number GONE"}}) {
        BackendRun run(kBackend, jobArgs(c.uri, c.copies), jobEnvironment(cables, c.uri));
        EXPECT_EQ(run.waitExit(10s), c.exit) << c.uri << " " << c.copies << "\n" << run.log();
        EXPECT_NE(run.log().find(c.says), std::string::npos) << run.log();
    }
    // Started by hand, without fds 3 and 4: what the backend opens itself is no channel to it. Without
    // standard input: a failure that says so, not a wait on a descriptor of its own.
    const auto byHand = [&](const char* closing) {
        return std::make_unique<BackendRun>(
            "/bin/sh", std::vector<std::string>{"sh", "-c", std::string("exec \"$0\" \"$@\" ") + closing, kBackend,
                                                "17", "alice", "t", "1", ""},
            jobEnvironment(cables, uri1));
    };
    cables.cable(0).queueBulkIn(std::vector<uint8_t>(64, 'R'));
    auto noChannels = byHand("3>&- 4>&-");
    noChannels->writeInput(pattern(4096, 5));
    noChannels->closeInput();
    EXPECT_EQ(noChannels->waitExit(10s), CUPS_BACKEND_OK) << noChannels->log();
    EXPECT_EQ(noChannels->log().find("dropped"), std::string::npos) << noChannels->log();
    auto noInput = byHand("<&-");
    EXPECT_EQ(noInput->waitExit(5s), CUPS_BACKEND_FAILED) << noInput->log();
    EXPECT_NE(noInput->log().find("no standard input"), std::string::npos) << noInput->log();

    // Two jobs at once on the two cables, as two queues print (each backend opens the cables to find its
    // serial number): one cancelled, one unplugged while its transfer waits for paper.
    cables.setPaperEmpty(0, true);
    cables.setPaperEmpty(1, true);
    BackendRun cancelled(kBackend, jobArgs(uri1, "1"), jobEnvironment(cables, uri1));
    BackendRun unplugged(kBackend, jobArgs(uri2, "1"), jobEnvironment(cables, uri2));
    cancelled.writeInput(pattern(64 * 1024, 3));
    unplugged.writeInput(pattern(64 * 1024, 4));
    ASSERT_TRUE(cancelled.waitForLog("STATE: +media-empty-error", 5s)) << cancelled.log();
    ASSERT_TRUE(unplugged.waitForLog("STATE: +media-empty-error", 5s)) << unplugged.log();
    cancelled.signal(SIGTERM);
    EXPECT_EQ(cancelled.waitExit(2s), CUPS_BACKEND_CANCEL) << cancelled.log();
    EXPECT_NE(cancelled.log().find("STATE: -media-empty-error"), std::string::npos) << cancelled.log();

    cables.unplug(1);
    EXPECT_EQ(unplugged.waitExit(5s), CUPS_BACKEND_FAILED) << unplugged.log();
    EXPECT_NE(unplugged.log().find("unplugged"), std::string::npos) << unplugged.log();
    EXPECT_NE(unplugged.log().find("STATE: -media-empty-error"), std::string::npos) << unplugged.log();
}

}  // namespace
}  // namespace ostrolink::testing
