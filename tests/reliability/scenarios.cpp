#include "scenarios.h"

#include <algorithm>
#include <cstring>

#include "include/oslnk_ioctl.h"

namespace rel {

namespace {

constexpr int kCable = 1;  // the first cable a fresh machine gets
constexpr char kPort[] = "KVUSB1";
constexpr char kPath[] = "\\\\.\\KVUSB1";

// Requests of the printer-port controller and the printer class: their failures are never the start's.
bool PortControllerRequest(const FaultPoint& point)
{
    return point.usbControl(0xC0, 3) || point.usbControl(0x40, 4) || point.usbControl(0xA1, 1) ||
           point.usbControl(0x23, 2);
}

bool HasDosName(Rig& rig)
{
    return rig.kernel().io().symbolicLinkTarget("\\DosDevices\\KVUSB1").has_value();
}

std::vector<uint8_t> Since(const std::vector<uint8_t>& all, size_t from)
{
    return std::vector<uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
}

// The print rule for one job on cable 1, with the statuses a failed job may carry under `point`.
void CheckJob(Rig& rig, RunLog& log, const FaultPoint& point, const ostrolink::PrintJobResult& result,
              const std::vector<uint8_t>& job, size_t printedBefore, const std::string& what)
{
    // The faults here stop a request before it reaches the cable: the count must be exact.
    const std::string breach = CheckIntegrity(result, job, Since(rig.printed(kCable), printedBefore), 0);
    log.expect(breach.empty(), what + ": " + breach);
    if (!result.failed) return;
    log.expect(!point.none(), what + " failed without any fault: " + StatusText(result.status));
    if (point.kind == FaultPoint::Kind::Pool)
        log.expectStatus(what, result.status, {kNoMemory, kInsufficientResources});
    if (point.kind == FaultPoint::Kind::Usb)
        log.expectStatus(what, result.status, {kUnsuccessful, kCancelled, kIoTimeout});
}

w98::UserIo::Result Ioctl(Rig& rig, uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength)
{
    return rig.io().deviceControl(rig.handle, code, in, inLength, out, outLength);
}

}  // namespace

bool StartEnded(const w98::DevNodeInfo& node)
{
    // A devnode whose ids could not be read has no driver: it waits, never started, as on Windows 98.
    return node.state == w98::DevNodeState::Started || node.state == w98::DevNodeState::Failed ||
           (node.state == w98::DevNodeState::Initialized && node.service.empty());
}

void ExpectPrintWorks(Rig& rig, RunLog& log, int cable, const std::string& when, bool mayRecover)
{
    const std::string port = rig.portName(cable);
    const auto job = JobData(2500, 7);
    size_t before = rig.printed(cable).size();
    auto result = rig.print(port, job);
    std::string breach = CheckIntegrity(result, job, Since(rig.printed(cable), before), 0);
    log.expect(breach.empty(), when + ": " + breach);
    if (!result.failed) return;
    if (!mayRecover) {
        log.fail(when + ": the job failed with " + StatusText(result.status));
        return;
    }
    auto opened = rig.io().open("\\\\.\\" + port);
    if (opened.status != kSuccess) {
        log.fail(when + ": the job failed with " + StatusText(result.status) + " and the device does not open: " +
                 StatusText(opened.status));
        return;
    }
    const OSLNK_INTERFACE_SELECT select{2, 0};
    rig.io().deviceControl(opened.handle, IOCTL_KVUSB_SELECT_INTERFACE, &select, sizeof select, nullptr, 0);
    rig.io().close(opened.handle);
    opened = rig.io().open("\\\\.\\" + port);
    if (opened.status == kSuccess) {
        uint8_t id[4];
        rig.io().deviceControl(opened.handle, IOCTL_KVUSB_GET_DEVICE_ID, nullptr, 0, id, sizeof id);
        rig.io().deviceControl(opened.handle, IOCTL_KVUSB_RESET_PIPE, nullptr, 0, nullptr, 0);
        rig.io().close(opened.handle);
    }
    before = rig.printed(cable).size();
    result = rig.print(port, job);
    breach = CheckIntegrity(result, job, Since(rig.printed(cable), before), 0);
    log.expect(breach.empty(), when + ", after the recovery codes: " + breach);
    log.expect(!result.failed, when + ": the job failed even after the recovery codes: " + StatusText(result.status));
    log.noteRecovered();
}

// A printer identifier as the driver forms it: at most 20 characters, then four upper-case hex digits.
bool LooksLikePrinterId(const std::string& id)
{
    if (id.size() < 4 || id.size() > 24) return false;
    return std::all_of(id.end() - 4, id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

Scenario PlugScenario()
{
    Scenario s;
    s.name = "plug";
    s.body = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        int n = 0;
        try {
            n = rig.plug();
        } catch (const std::exception& e) {
            // The bus's own enumeration needs memory too (its PDO): only a pool fault may stop it.
            log.expect(point.kind == FaultPoint::Kind::Pool, std::string("plug refused: ") + e.what());
            return;
        }
        const auto node = rig.devnode(n);
        if (!node) {
            log.fail("the plugged cable has no devnode");
            return;
        }
        log.expect(StartEnded(*node), "the devnode ended in state " + std::string(w98::toString(node->state)));
        if (node->state == w98::DevNodeState::Failed) {
            log.expect(!point.none(), "the start failed without any fault: " + StatusText(node->status));
            log.expect(node->status < 0, "a failed devnode with a success status");
            log.expect(!PortControllerRequest(point),
                       "a failed port-controller request failed the start: " + StatusText(node->status));
            log.expect(!HasDosName(rig), "a failed start left a DOS name");
            log.expect(rig.children(n).empty(), "a failed start reported a printer");
            if (point.kind == FaultPoint::Kind::Pool)
                log.expectStatus("start", node->status,
                                 {kNoMemory, kInsufficientResources, kObjectNameCollision, kUnsuccessful});
            return;
        }
        if (node->state != w98::DevNodeState::Started) return;
        if (node->service.empty()) {
            // The bus could not give its ids (no memory): the devnode was started raw, without the driver.
            log.expect(point.kind == FaultPoint::Kind::Pool, "the cable was started without its driver");
            return;
        }
        log.expect(rig.portName(n) == kPort, "the started cable published port name \"" + rig.portName(n) + "\"");
        const auto children = rig.children(n);
        log.expect(children.size() <= 1, "more than one printer reported");
        if (point.none()) {
            log.expect(HasDosName(rig), "no DOS name after a clean start");
            log.expect(children.size() == 1, "no printer reported after a clean start");
        }
        // A failed register read inside the exchange leaves a zero snapshot that the handshake reads on,
        // so under a fault the ID may come out cut or changed; its form must still hold.
        if (children.size() == 1 && point.none()) {
            log.expect(!children[0].hardwareIds.empty() && children[0].hardwareIds[0] == kShortPrinterId,
                       "printer hardware id \"" + (children[0].hardwareIds.empty() ? "" : children[0].hardwareIds[0]) + "\"");
            log.expect(children[0].deviceId == std::string("LPTENUM\\") + kShortPrinterId,
                       "printer device id \"" + children[0].deviceId + "\"");
        } else if (children.size() == 1 && !children[0].hardwareIds.empty()) {
            log.expect(LooksLikePrinterId(children[0].hardwareIds[0]),
                       "printer hardware id \"" + children[0].hardwareIds[0] + "\" is not an identifier");
        }
    };
    s.after = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        const auto node = rig.devnode(kCable);
        if (!node || node->state != w98::DevNodeState::Started || !HasDosName(rig)) return;
        ExpectPrintWorks(rig, log, kCable, "a job after the plug", !point.none());
    };
    return s;
}

Scenario PrintScenario()
{
    Scenario s;
    s.name = "print";
    s.setup = [](Rig& rig) { rig.plug(); };
    s.body = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        const auto job = JobData(3000, 3);
        const size_t before = rig.printed(kCable).size();
        const auto result = rig.print(kPort, job);
        CheckJob(rig, log, point, result, job, before, "the job");
    };
    s.after = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        // A stalled write pipe stays halted until user mode resets it: the monitor's way back.
        auto opened = rig.io().open(kPath);
        log.expectStatus("open after the job", opened.status, {kSuccess});
        if (opened.status == kSuccess) {
            rig.handle = opened.handle;
            log.expectStatus("reset pipe", Ioctl(rig, IOCTL_KVUSB_RESET_PIPE, nullptr, 0, nullptr, 0).status, {kSuccess});
            rig.io().close(opened.handle);
            rig.handle = w98::UserIo::kInvalidHandle;
        }
        ExpectPrintWorks(rig, log, kCable, "a job after the faulted one", !point.none());
    };
    return s;
}

Scenario ControlScenario()
{
    Scenario s;
    s.name = "control codes";
    s.setup = [](Rig& rig) {
        rig.plug();
        rig.handle = rig.io().open(kPath).handle;
    };
    s.body = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        // Buffers accepted: the request succeeds whatever the operation met, and returns the bytes of its
        // reply (the register snapshot, the port status byte, the device ID's whole output length).
        const auto done = [&](const std::string& what, const w98::UserIo::Result& r, uint64_t reply = 0) {
            log.expectStatus(what, r.status, {kSuccess});
            log.expect(r.information == reply, what + " returned " + std::to_string(r.information) + " bytes");
        };
        const OSLNK_REGISTER_WRITE write{OSLNK_REG_CONTROL, 0x4C};
        done("write register", Ioctl(rig, IOCTL_KVUSB_WRITE_REGISTER, &write, sizeof write, nullptr, 0));

        uint8_t snapshot[16];
        std::memset(snapshot, 0xA5, sizeof snapshot);
        done("read registers", Ioctl(rig, IOCTL_KVUSB_READ_REGISTERS, nullptr, 0, snapshot, 7), 7);
        log.expect(std::all_of(snapshot + 7, snapshot + 16, [](uint8_t b) { return b == 0xA5; }),
                   "read registers wrote past its 7 bytes");

        uint8_t id[80];
        std::memset(id, 0xA5, sizeof id);
        done("get device id", Ioctl(rig, IOCTL_KVUSB_GET_DEVICE_ID, nullptr, 0, id, 64), 64);
        log.expect(std::all_of(id + 64, id + 80, [](uint8_t b) { return b == 0xA5; }),
                   "get device id wrote past its output length");
        const std::string text(reinterpret_cast<const char*>(id), strnlen(reinterpret_cast<const char*>(id), 64));
        if (point.none()) log.expect(text == kShortDeviceId, "device id reply \"" + text + "\"");
        log.expect(std::all_of(id + text.size(), id + 64, [](uint8_t b) { return b == 0; }),
                   "the device id reply is not zero after its text");

        uint8_t status[4] = {0xA5, 0xA5, 0xA5, 0xA5};
        done("get port status", Ioctl(rig, IOCTL_KVUSB_GET_PORT_STATUS, nullptr, 0, status, 1), 1);
        log.expect(status[1] == 0xA5 && status[2] == 0xA5, "get port status wrote past its byte");

        done("soft reset", Ioctl(rig, IOCTL_KVUSB_SOFT_RESET, nullptr, 0, nullptr, 0));
        done("reset pipe", Ioctl(rig, IOCTL_KVUSB_RESET_PIPE, nullptr, 0, nullptr, 0));
        done("abort pipes", Ioctl(rig, IOCTL_KVUSB_ABORT_PIPES, nullptr, 0, nullptr, 0));
        done("recover, idle", Ioctl(rig, IOCTL_KVUSB_RECOVER, nullptr, 0, nullptr, 0));

        // A read that nobody answers, then the recovery that cancels it.
        uint8_t readBuffer[64];
        auto read = rig.io().readAsync(rig.handle, readBuffer, sizeof readBuffer);
        done("recover, read in flight", Ioctl(rig, IOCTL_KVUSB_RECOVER, nullptr, 0, nullptr, 0));
        if (!read->completed()) {
            log.fail("the recovery left the read in flight");
            read->cancel();
        }
        const auto r = read->wait();
        if (point.none()) log.expectStatus("the recovered read", r.status, {kCancelled});
        else log.expectStatus("the recovered read", r.status, {kCancelled, kNoMemory, kInsufficientResources, kUnsuccessful});
        log.expect(r.information == 0, "the recovered read returned bytes");

        const OSLNK_INTERFACE_SELECT select{2, 0};
        done("select interface", Ioctl(rig, IOCTL_KVUSB_SELECT_INTERFACE, &select, sizeof select, nullptr, 0));
        // Fresh pipe records are closed: the handle may not write until it is opened again.
        const uint8_t byte = 0x55;
        const auto w = rig.io().write(rig.handle, &byte, 1);
        // (A select that failed keeps the old, open pipes.)
        if (point.none()) log.expectStatus("a write after select interface", w.status, {kInvalidParameter});
        else log.expectStatus("a write after select interface", w.status, {kInvalidParameter, kSuccess});
        log.expectStatus("close", rig.io().close(rig.handle), {kSuccess});
        rig.handle = w98::UserIo::kInvalidHandle;
    };
    s.after = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        // Put the controller back the driver's way (a faulted register write may have left it elsewhere).
        auto opened = rig.io().open(kPath);
        log.expectStatus("open after the control codes", opened.status, {kSuccess});
        if (opened.status == kSuccess) {
            rig.handle = opened.handle;
            uint8_t id[8];
            Ioctl(rig, IOCTL_KVUSB_GET_DEVICE_ID, nullptr, 0, id, sizeof id);
            Ioctl(rig, IOCTL_KVUSB_RESET_PIPE, nullptr, 0, nullptr, 0);
            rig.io().close(opened.handle);
            rig.handle = w98::UserIo::kInvalidHandle;
        }
        ExpectPrintWorks(rig, log, kCable, "a job after the control codes", !point.none());
    };
    return s;
}

Scenario StopStartScenario()
{
    Scenario s;
    s.name = "stop and start";
    s.setup = [](Rig& rig) { rig.plug(); };
    s.body = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        const auto node = rig.devnode(kCable);
        if (!node) {
            log.fail("no devnode");
            return;
        }
        const NtStatus stop = rig.kernel().pnp().stopDevice(node->id);
        if (point.none()) log.expectStatus("stop", stop, {kSuccess});
        else log.expectStatus("stop", stop, {kSuccess, kNoMemory, kInsufficientResources});
        log.expect(!HasDosName(rig), "the DOS name outlived the stop");
        const NtStatus start = rig.kernel().pnp().startDevice(node->id);
        const auto again = rig.devnode(kCable);
        if (point.none()) {
            log.expectStatus("start again", start, {kSuccess});
            log.expect(HasDosName(rig), "no DOS name after the new start");
        } else if (start < 0) {
            log.expect(!PortControllerRequest(point), "a failed port-controller request failed the start");
            log.expect(!HasDosName(rig), "a failed start left a DOS name");
        }
        log.expect(rig.children(kCable).size() == 1, "the printer was not kept exactly once across stop and start");
        log.expect(again && StartEnded(*again), "the devnode did not end a start");
    };
    s.after = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        const auto node = rig.devnode(kCable);
        if (!node || node->state != w98::DevNodeState::Started || !HasDosName(rig)) return;
        ExpectPrintWorks(rig, log, kCable, "a job after stop and start", !point.none());
    };
    return s;
}

Scenario RemoveScenario(bool handleOpen)
{
    Scenario s;
    s.name = handleOpen ? "removal with a handle open" : "removal";
    s.setup = [handleOpen](Rig& rig) {
        rig.plug();
        if (handleOpen) rig.handle = rig.io().open(kPath).handle;
    };
    s.body = [handleOpen](Rig& rig, RunLog& log, const FaultPoint& point) {
        const NtStatus removed = rig.machine().unplug(kCable);
        // The remove succeeds with a handle open too (no driver may fail it); the device object lingers.
        log.expectStatus("removal", removed, {kSuccess});
        log.expect(!HasDosName(rig), "the DOS name outlived the removal");
        if (!handleOpen) return;
        // The device lingers for its handle: requests on it fail at once, the close succeeds.
        const uint8_t byte = 0x55;
        const auto w = rig.io().write(rig.handle, &byte, 1);
        log.expect(w.status < 0 && w.information == 0, "a write on a removed device ended " + StatusText(w.status));
        uint8_t snapshot[7];
        const auto c = rig.io().deviceControl(rig.handle, IOCTL_KVUSB_READ_REGISTERS, nullptr, 0, snapshot, 7);
        log.expect(c.status < 0 && c.information == 0, "a control request on a removed device ended " + StatusText(c.status));
        log.expectStatus("close of the lingering handle", rig.io().close(rig.handle), {kSuccess});
        rig.handle = w98::UserIo::kInvalidHandle;
        log.expect(rig.pool().outstanding(w98::kDriverPoolTag).empty(), "driver memory left after the last close");
        (void)point;
    };
    s.after = [](Rig& rig, RunLog& log, const FaultPoint&) {
        // The port number came back: a new cable gets it again and prints.
        const int n = rig.plug();
        log.expect(rig.portName(n) == kPort, "the next cable got port name \"" + rig.portName(n) + "\"");
        if (rig.portName(n) == kPort && HasDosName(rig)) ExpectPrintWorks(rig, log, n, "a job on the next cable");
    };
    return s;
}

Scenario UnplugDuringJobScenario()
{
    Scenario s;
    s.name = "unplug during a job";
    s.setup = [](Rig& rig) {
        w98::CableOptions options = Rig::cableOptions();
        options.printer.busyEveryBytes = 512;  // a slow printer: the job spans many frames
        options.printer.busyPollsPerBurst = 3;
        rig.plug(options);
    };
    s.body = [](Rig& rig, RunLog& log, const FaultPoint& point) {
        const auto job = JobData(8192, 11);
        ostrolink::PrintJobResult result;
        const uint64_t first = rig.usb().nextRequestIndex();
        auto printer = rig.kernel().spawn([&] { result = rig.print(kPort, job); }, "print job");
        // Out goes the cable once the bus has carried a few of the job's requests (or the job is over).
        rig.waitFor([&] { return rig.usb().nextRequestIndex() >= first + 3 || printer.finished(); },
                    60 * w98::Clock::kSecond);
        const NtStatus removed = rig.machine().unplug(kCable);
        printer.join();
        // With the monitor's handle still open the device lingers; the remove succeeds all the same.
        log.expectStatus("the unplug", removed, {kSuccess});
        // The cable may go in the middle of a request: its bytes may be at the printer unreported.
        const std::string breach = CheckIntegrity(result, job, rig.printed(kCable), 1024);
        log.expect(breach.empty(), "the job: " + breach);
        log.expect(result.failed || point.kind != FaultPoint::Kind::None || rig.printed(kCable).size() == job.size(),
                   "the job was reported done although the cable went before its end");
    };
    return s;
}

}  // namespace rel
