// The CUPS backend "ostrolink" (see backend(7)): with no arguments it lists the Ostrolink cables and their
// printers; with "job user title copies options [file]" it prints the file or standard input to the cable
// that DEVICE_URI names, reporting the printer's state to the scheduler, relaying its back channel to the
// filters (fd 3) and answering their side-channel requests (fd 4).
//
// One thread: the USB library's write() calls back into this file (status changes, back-channel data, a
// tick at least every 100 ms in which the side channel is served), so the cable is used from one thread only.
#include <cups/backend.h>
#include <cups/sidechannel.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cups_backend/report.h"
#include "userspace_driver/ostrolink_usb.h"

namespace ostrolink::cups_backend {
namespace {

namespace usb = ostrolink::usb;
using namespace std::chrono_literals;

constexpr int kBackChannelFd = 3;  // CUPS_BC_FD
constexpr std::size_t kChunk = 64 * 1024;
// How often the printer's state is read while something waits on it. CUPS is told of paper-out or offline
// within 2 s; a quarter second leaves most of that for a loaded machine. Two control transfers each time.
constexpr auto kStatusInterval = std::chrono::milliseconds(250);
// A stall that the printer repeats with nothing accepted in between is a fault, not a condition to wait out.
constexpr int kMaxStallsWithoutProgress = 5;

std::atomic<bool> g_stop{false};
int g_wakePipe[2] = {-1, -1};
// Whether cupsd gave the side and back channels: looked at before this program opens anything (its wake pipe,
// libusb's descriptors), which would otherwise take a free number 3 or 4 and pass for a channel.
bool g_sideChannelGiven = false;
bool g_backChannelGiven = false;

void onSigterm(int) {
    const int savedErrno = errno;  // the interrupted code may be about to read it
    g_stop.store(true);
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_wakePipe[1], &byte, 1);
    errno = savedErrno;
}

void message(const char* prefix, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", prefix, text.c_str());
}

bool fdIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

std::string cableName(const usb::CableInfo& info) {
    return info.serialNumber.empty() ? "at " + info.location : info.serialNumber;
}

std::string printerInfo(const std::string& makeModel, const usb::CableInfo& cable) {
    return makeModel + " (Ostrolink cable " + cableName(cable) + ")";
}

// --- discovery ---

int discover() {
    try {
        usb::Context context;
        for (const usb::CableInfo& info : context.listCables()) {
            DiscoveredPrinter printer;
            printer.ref.serial = info.serialNumber;
            printer.ref.location = info.location;
            std::optional<usb::Cable> cable;
            try {
                cable.emplace(context, usb::CableSelector::byLocation(info.location));
            } catch (const usb::Error& e) {
                // A cable that is printing a job is held by that job's backend: leave it be.
                message("DEBUG", "cable " + cableName(info) + " skipped: " + e.what());
                continue;
            }
            try {
                const usb::DeviceId id = cable->readDeviceId();
                if (!id.valid) {
                    message("DEBUG", "the printer on cable " + cableName(info) + " sent no IEEE 1284 device ID");
                } else {
                    printer.deviceId = id.truncated ? std::string(wholePairs(id.text)) : id.text;
                    const usb::DeviceIdFields fields = usb::parseDeviceId(printer.deviceId);
                    printer.ref.make = fields.manufacturer;
                    printer.ref.model = fields.model;
                    if (id.truncated)
                        message("WARNING", "the device ID of the printer on cable " + cableName(info) +
                                               " was cut short after " + std::to_string(id.text.size()) +
                                               " bytes; " + std::to_string(printer.deviceId.size()) + " are listed");
                }
            } catch (const usb::Error& e) {
                if (e.kind() == usb::ErrorKind::Gone) continue;
                // Still listed: the user sees the cable, and CUPS asks for a driver by hand.
                message("WARNING", "cannot read the device ID of the printer on cable " + cableName(info) + ": " +
                                       e.what());
            }
            printer.info = printerInfo(makeAndModel(printer.ref.make, printer.ref.model), info);
            const DiscoveryLine line = discoveryLine(printer);
            if (line.idCut)
                message("WARNING", "the device ID of the printer on cable " + cableName(info) + " was cut to " +
                                       std::to_string(line.idCutAt) + " bytes to fit CUPS's discovery line");
            std::printf("%s\n", line.text.c_str());
            std::fflush(stdout);
        }
    } catch (const usb::Error& e) {
        message("ERROR", std::string("cannot look for Ostrolink cables: ") + e.what());
        return CUPS_BACKEND_FAILED;
    }
    return CUPS_BACKEND_OK;
}

// --- printing ---

enum class Outcome { Done, Cancelled, Gone, Failed };

class Job {
public:
    Job(usb::Cable& cable, int input) : cable_(cable), input_(input) {
        sideChannel_ = g_sideChannelGiven;
        backChannel_ = g_backChannelGiven && cable.bulkInEndpoint() != 0;
    }

    // Sends the input to the end (a file `copies` times), serving the side channel while it waits.
    Outcome run(int copies, bool fromFile) {
        std::vector<uint8_t> buffer(kChunk);
        for (int copy = 0; copy < copies; ++copy) {
            if (fromFile && lseek(input_, 0, SEEK_SET) < 0) {
                message("ERROR", std::string("cannot rewind the print file: ") + std::strerror(errno));
                return Outcome::Failed;
            }
            for (;;) {
                if (Outcome o = waitForInput(); o != Outcome::Done) return o;
                const ssize_t n = read(input_, buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    message("ERROR", std::string("cannot read the print data: ") + std::strerror(errno));
                    return Outcome::Failed;
                }
                if (n == 0) break;
                if (Outcome o = send(std::span(buffer.data(), static_cast<std::size_t>(n))); o != Outcome::Done)
                    return o;
            }
        }
        answerDrain();
        if (deviceIdPending_) answerDeviceId();
        return Outcome::Done;
    }

    std::size_t accepted() const { return accepted_; }

    // Takes back the conditions this job reported, so the queue does not keep them after it ends.
    void clearReportedState() {
        if (paperEmpty_) std::fputs("STATE: -media-empty-error\n", stderr);
        if (offline_) std::fputs("STATE: -offline-report\n", stderr);
        paperEmpty_ = offline_ = false;
    }

private:
    Outcome waitForInput() {
        for (;;) {
            if (g_stop.load()) return Outcome::Cancelled;
            pollfd fds[3] = {{input_, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}, {CUPS_SC_FD, POLLIN, 0}};
            const int count = sideChannel_ ? 3 : 2;
            // Without a back channel to read, the wait itself is the pause; with one, a short bulk IN read is.
            const int rc = poll(fds, count, backChannel_ ? 0 : 100);
            if (rc < 0 && errno != EINTR) return Outcome::Failed;
            if (rc > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return Outcome::Done;
            if (rc > 0 && sideChannel_ && fds[2].revents) serveSideChannel();
            if (drainPending_) answerDrain();
            if (deviceIdPending_) answerDeviceId();
            // A condition reported while printing is watched until it clears, also between writes: a write
            // the printer finished may have ended before its next status poll saw the condition go.
            if ((paperEmpty_ || offline_) && std::chrono::steady_clock::now() - lastRefresh_ >= kStatusInterval)
                refreshState();
            if (backChannel_ && rc == 0) {
                try {
                    relay(cable_.readBackChannel(4096, 100ms));
                } catch (const usb::Error& e) {
                    if (e.kind() == usb::ErrorKind::Gone) return Outcome::Gone;
                    backChannel_ = false;
                    message("DEBUG", std::string("back channel closed: ") + e.what());
                }
            }
        }
    }

    Outcome send(std::span<const uint8_t> data) {
        int stallsWithoutProgress = 0;
        while (!data.empty()) {
            usb::WriteOptions options;
            // The printer's conditions are waited out with the transfers queued, as a parallel port would.
            options.stopWhenNotReady = false;
            options.statusInterval = kStatusInterval;
            options.onStatus = [this](const usb::PrinterState& s) { report(s); };
            if (backChannel_) options.onBackChannel = [this](std::span<const uint8_t> b) { relay(b); };
            if (sideChannel_) options.onTick = [this] { serveSideChannelIfReady(); };
            options.stop = &g_stop;
            writing_ = true;
            const usb::WriteResult r = cable_.write(data, options);
            writing_ = false;
            data = data.subspan(r.accepted);
            accepted_ += r.accepted;
            if (r.accepted > 0) stallsWithoutProgress = 0;
            switch (r.stop) {
            case usb::WriteStop::Done:
                break;
            case usb::WriteStop::Cancelled:
                return Outcome::Cancelled;
            case usb::WriteStop::Gone:
                return Outcome::Gone;
            case usb::WriteStop::Failed:
                message("ERROR", "printing failed: " + r.message);
                return Outcome::Failed;
            case usb::WriteStop::Stalled:
                if (++stallsWithoutProgress > kMaxStallsWithoutProgress) {
                    message("ERROR", "the cable keeps stalling its data pipe; giving up");
                    return Outcome::Failed;
                }
                message("INFO", "the cable stalled its data pipe after " + std::to_string(accepted_) +
                                    " bytes; recovering");
                try {
                    cable_.recoverPipes();
                } catch (const usb::Error& e) {
                    if (e.kind() == usb::ErrorKind::Gone) return Outcome::Gone;
                    message("ERROR", std::string("cannot recover the stalled pipe: ") + e.what());
                    return Outcome::Failed;
                }
                [[fallthrough]];
            case usb::WriteStop::PaperEmpty:
            case usb::WriteStop::Offline:
                if (Outcome o = waitUntilReady(); o != Outcome::Done) return o;
                break;
            }
        }
        return Outcome::Done;
    }

    void refreshState() {
        try {
            report(cable_.state());
        } catch (const usb::Error& e) {
            message("DEBUG", std::string("status read failed: ") + e.what());
        }
        lastRefresh_ = std::chrono::steady_clock::now();
    }

    Outcome waitUntilReady() {
        for (;;) {
            if (g_stop.load()) return Outcome::Cancelled;
            if (deviceIdPending_) answerDeviceId();
            try {
                const usb::PrinterState s = cable_.state();
                report(s);
                if (s.ready()) return Outcome::Done;
            } catch (const usb::Error& e) {
                if (e.kind() == usb::ErrorKind::Gone) return Outcome::Gone;
                message("DEBUG", std::string("status read failed: ") + e.what());
            }
            pollfd fds[2] = {{g_wakePipe[0], POLLIN, 0}, {CUPS_SC_FD, POLLIN, 0}};
            const int rc = poll(fds, sideChannel_ ? 2 : 1, static_cast<int>(kStatusInterval.count()));
            if (rc > 0 && sideChannel_ && fds[1].revents) serveSideChannel();
        }
    }

    void report(const usb::PrinterState& s) {
        if (s.paperEmpty() != paperEmpty_) {
            paperEmpty_ = s.paperEmpty();
            std::fputs(paperEmpty_ ? "STATE: +media-empty-error\n" : "STATE: -media-empty-error\n", stderr);
            if (paperEmpty_) std::fputs("INFO: The printer is out of paper.\n", stderr);
        }
        // The printer takes itself off line when it runs out of paper; the paper is what the user must fix.
        const bool offline = s.offline() && !s.paperEmpty();
        if (offline != offline_) {
            offline_ = offline;
            std::fputs(offline_ ? "STATE: +offline-report\n" : "STATE: -offline-report\n", stderr);
            if (offline_) std::fputs("INFO: The printer is off line.\n", stderr);
        }
        if (s.ready() && wasNotReady_) std::fputs("INFO: Printing.\n", stderr);
        wasNotReady_ = !s.ready();
    }

    void relay(std::span<const uint8_t> bytes) {
        if (bytes.empty()) return;
        if (cupsBackChannelWrite(reinterpret_cast<const char*>(bytes.data()), bytes.size(), 1.0) < 0)
            message("DEBUG", "the back channel is full or closed; " + std::to_string(bytes.size()) +
                                 " bytes from the printer were dropped");
    }

    void serveSideChannelIfReady() {
        pollfd fd{CUPS_SC_FD, POLLIN, 0};
        if (poll(&fd, 1, 0) > 0) serveSideChannel();
    }

    void serveSideChannel() {
        cups_sc_command_t command = CUPS_SC_CMD_NONE;
        cups_sc_status_t status = CUPS_SC_STATUS_NONE;
        std::vector<char> data(65535);
        int length = static_cast<int>(data.size());
        if (cupsSideChannelRead(&command, &status, data.data(), &length, 1.0) != 0) {
            pollfd fd{CUPS_SC_FD, POLLIN, 0};
            // The filters closed their end: stop polling it, or every poll would return at once.
            if (poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLNVAL))) sideChannel_ = false;
            return;
        }
        length = 0;
        status = CUPS_SC_STATUS_OK;
        try {
            switch (command) {
            case CUPS_SC_CMD_SOFT_RESET:
                cable_.softReset();
                break;
            case CUPS_SC_CMD_DRAIN_OUTPUT:
                // Answered once everything received so far was accepted by the printer.
                drainPending_ = true;
                return;
            case CUPS_SC_CMD_GET_BIDI:
                data[0] = static_cast<char>(cable_.bulkInEndpoint() != 0 ? CUPS_SC_BIDI_SUPPORTED
                                                                          : CUPS_SC_BIDI_NOT_SUPPORTED);
                length = 1;
                break;
            case CUPS_SC_CMD_GET_DEVICE_ID:
                // The nibble exchange switches the port out of compatibility mode: never under a running
                // transfer. Asked mid-write, it is answered once the write has returned.
                if (!deviceId_ && writing_) {
                    deviceIdPending_ = true;
                    return;
                }
                answerDeviceId();
                return;
            case CUPS_SC_CMD_GET_STATE: {
                const usb::PrinterState s = cable_.state();
                int state = s.offline() ? CUPS_SC_STATE_OFFLINE : CUPS_SC_STATE_ONLINE;
                if (s.busy()) state |= CUPS_SC_STATE_BUSY;
                if (s.paperEmpty()) state |= CUPS_SC_STATE_MEDIA_EMPTY;
                if (s.error() && !s.offline() && !s.paperEmpty()) state |= CUPS_SC_STATE_ERROR;
                data[0] = static_cast<char>(state);
                length = 1;
                break;
            }
            case CUPS_SC_CMD_GET_CONNECTED:
                data[0] = static_cast<char>(CUPS_SC_CONNECTED);
                length = 1;
                break;
            default:
                status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
                break;
            }
        } catch (const usb::Error& e) {
            message("DEBUG", std::string("side-channel request failed: ") + e.what());
            status = e.kind() == usb::ErrorKind::Timeout ? CUPS_SC_STATUS_NO_RESPONSE : CUPS_SC_STATUS_IO_ERROR;
            length = 0;
        }
        cupsSideChannelWrite(command, status, data.data(), length, 1.0);
    }

    void answerDeviceId() {
        deviceIdPending_ = false;
        cups_sc_status_t status = CUPS_SC_STATUS_OK;
        std::string_view id;
        try {
            if (!deviceId_) deviceId_ = cable_.readDeviceId();
            if (deviceId_->valid)
                id = deviceId_->truncated ? wholePairs(deviceId_->text) : std::string_view(deviceId_->text);
            else
                status = CUPS_SC_STATUS_NO_RESPONSE;
        } catch (const usb::Error& e) {
            message("DEBUG", std::string("device ID read failed: ") + e.what());
            status = e.kind() == usb::ErrorKind::Timeout ? CUPS_SC_STATUS_NO_RESPONSE : CUPS_SC_STATUS_IO_ERROR;
        }
        cupsSideChannelWrite(CUPS_SC_CMD_GET_DEVICE_ID, status, id.data(),
                             static_cast<int>(std::min<std::size_t>(id.size(), 65535)), 1.0);
    }

    // Everything read from the input so far has been accepted (send() returned), so a drain is answered
    // as soon as no more data waits on the input.
    void answerDrain() {
        if (!drainPending_) return;
        pollfd fd{input_, POLLIN, 0};
        struct stat st {};
        const bool regular = fstat(input_, &st) == 0 && S_ISREG(st.st_mode);
        if (!regular && poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN)) return;
        drainPending_ = false;
        cupsSideChannelWrite(CUPS_SC_CMD_DRAIN_OUTPUT, CUPS_SC_STATUS_OK, nullptr, 0, 1.0);
    }

    usb::Cable& cable_;
    int input_;
    bool sideChannel_ = false;
    bool backChannel_ = false;
    bool drainPending_ = false;
    bool deviceIdPending_ = false;
    bool writing_ = false;
    bool paperEmpty_ = false;
    bool offline_ = false;
    bool wasNotReady_ = false;
    std::size_t accepted_ = 0;
    std::chrono::steady_clock::time_point lastRefresh_{};
    std::optional<usb::DeviceId> deviceId_;
};

int openError(const usb::Error& e, const std::string& which) {
    switch (e.kind()) {
    case usb::ErrorKind::NotFound:
    case usb::ErrorKind::Gone:
        message("ERROR", "no Ostrolink cable " + which + " is plugged in");
        return CUPS_BACKEND_RETRY;
    case usb::ErrorKind::Busy:
        message("ERROR", "the Ostrolink cable " + which + " is in use by another program");
        return CUPS_BACKEND_RETRY;
    case usb::ErrorKind::Access:
        message("ERROR", "no permission to use the Ostrolink cable " + which + " (" + e.what() +
                             "); is the udev rule for 0F1B:1002 installed?");
        return CUPS_BACKEND_STOP;
    default:
        message("ERROR", "cannot open the Ostrolink cable " + which + ": " + e.what());
        return CUPS_BACKEND_FAILED;
    }
}

int printJob(int argc, char** argv) {
    std::string error;
    const std::optional<int> copiesArg = parseCopies(argv[4], error);
    if (!copiesArg) {
        message("ERROR", error);
        return CUPS_BACKEND_CANCEL;
    }
    const char* uri = cupsBackendDeviceURI(argv);
    if (!uri) {
        message("ERROR", "no device URI (DEVICE_URI is not set)");
        return CUPS_BACKEND_STOP;
    }
    const std::optional<CableRef> ref = parseDeviceUri(uri, error);
    if (!ref) {
        message("ERROR", error);
        return CUPS_BACKEND_STOP;
    }

    // Copies are the backend's only when it reads a file; from standard input the filters made them.
    const bool fromFile = argc == 7;
    const int copies = fromFile ? *copiesArg : 1;
    int input = 0;
    if (fromFile && (input = open(argv[6], O_RDONLY | O_CLOEXEC)) < 0) {
        message("ERROR", std::string("cannot open the print file \"") + printableText(argv[6]) +
                             "\": " + std::strerror(errno));
        return CUPS_BACKEND_FAILED;
    }

    const std::string which = ref->serial.empty() ? "at " + printableText(ref->location)
                                                  : "with serial number " + printableText(ref->serial);
    std::fputs("STATE: +connecting-to-device\n", stderr);
    try {
        usb::Context context;
        std::optional<usb::Cable> cable;
        try {
            cable.emplace(context, ref->serial.empty() ? usb::CableSelector::byLocation(ref->location)
                                                       : usb::CableSelector::bySerial(ref->serial));
        } catch (const usb::Error& e) {
            std::fputs("STATE: -connecting-to-device\n", stderr);
            return openError(e, which);
        }
        std::fputs("STATE: -connecting-to-device\n", stderr);
        message("INFO", "Printing.");

        Job job(*cable, input);
        const Outcome outcome = job.run(copies, fromFile);
        const std::string count = std::to_string(job.accepted());
        switch (outcome) {
        case Outcome::Done:
            job.clearReportedState();
            message("INFO", "Ready to print.");
            message("DEBUG", "the printer accepted " + count + " bytes");
            return CUPS_BACKEND_OK;
        case Outcome::Cancelled:
            job.clearReportedState();
            message("INFO", "Job stopped; the printer had accepted " + count + " bytes.");
            return CUPS_BACKEND_CANCEL;
        case Outcome::Gone:
            // The conditions go with the job: a paper-out of an unplugged printer would stay on the queue.
            job.clearReportedState();
            message("ERROR", "the Ostrolink cable " + which + " was unplugged after the printer accepted " +
                                 count + " bytes");
            return CUPS_BACKEND_FAILED;
        case Outcome::Failed:
            job.clearReportedState();
            message("ERROR", "the job stopped after the printer accepted " + count + " bytes");
            return CUPS_BACKEND_FAILED;
        }
    } catch (const usb::Error& e) {
        if (e.kind() == usb::ErrorKind::Gone) {
            message("ERROR", "the Ostrolink cable " + which + " was unplugged");
            return CUPS_BACKEND_FAILED;
        }
        message("ERROR", std::string("USB failure: ") + e.what());
        return CUPS_BACKEND_FAILED;
    }
    return CUPS_BACKEND_FAILED;
}

}  // namespace
}  // namespace ostrolink::cups_backend

int main(int argc, char** argv) {
    using namespace ostrolink::cups_backend;
    setvbuf(stderr, nullptr, _IOLBF, 0);
    if (argc == 1) return discover();
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n"
                             "       %s          (lists the Ostrolink cables)\n", argv[0], argv[0]);
        return CUPS_BACKEND_FAILED;
    }
    g_sideChannelGiven = fdIsOpen(CUPS_SC_FD);
    g_backChannelGiven = fdIsOpen(kBackChannelFd);
    if (argc == 6 && !fdIsOpen(0)) {
        std::fputs("ERROR: no print file and no standard input to read the job from\n", stderr);
        return CUPS_BACKEND_FAILED;
    }
    // pipe() and fcntl() rather than Linux's pipe2(): the backend builds for macOS's CUPS too.
    if (pipe(g_wakePipe) != 0) {
        std::perror("ERROR: pipe");
        return CUPS_BACKEND_FAILED;
    }
    for (int fd : g_wakePipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = onSigterm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed back channel is reported by its write, not by a signal
    return printJob(argc, argv);
}
