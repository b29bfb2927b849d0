// The reliability campaign's harness over the test rig (scratch_machine.h): one fresh simulated machine per run, with the real driver, the
// simulated cable and printer, and the host port monitor; the verifier records instead of aborting, so
// that a run can end and be judged as a whole.
//
// A run is judged by finish(): it closes what the scenario left open, unplugs the cables still present,
// and then lists every problem: verifier reports (requests completed twice, pending without a mark, wrong
// IRQL, pool double frees, hangs, ...), driver pool blocks still allocated, requests left pending in the
// I/O manager or on the bus, registry handles left open, DOS names left behind.
//
// Campaigns (campaign.h) run a scenario once to count what it does (pool allocations, bus requests), then
// once per counted point with a fault injected there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "port_monitor.h"
#include "scratch_machine.h"

namespace rel {

using w98::NtStatus;
using testrig::kAccessDenied, testrig::kCancelled, testrig::kDeletePending, testrig::kDeviceNotConnected,
    testrig::kInsufficientResources, testrig::kInvalidParameter, testrig::kIoTimeout, testrig::kNoMemory,
    testrig::kNoSuchDevice, testrig::kObjectNameCollision, testrig::kObjectNameNotFound, testrig::kSuccess,
    testrig::kUnsuccessful;
using testrig::kShortDeviceId;
using testrig::ScratchMachine;
using testrig::StatusText;

// How many points of a campaign are run: every one, or every n-th (OSLNK_RELIABILITY_STRIDE=n, for the
// slower sanitizer builds). The first and last points always run.
uint64_t CampaignStride();

class Rig {
public:
    // `name` names the machine's temporary folder.
    explicit Rig(const std::string& name);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    w98::Machine& machine() { return scratch_->machine(); }
    w98::Kernel& kernel() { return machine().kernel(); }
    w98::UsbBus& usb() { return machine().usb(); }
    w98::UserIo& io() { return kernel().user(); }
    w98::Pool& pool() { return kernel().pool(); }
    w98::Ticks now() { return kernel().clock().now(); }

    // A cable with a printer that answers the device-ID exchange with `deviceId`; control transfers
    // complete inside the call so that only the driver's own waits move time.
    static w98::CableOptions cableOptions(const std::string& deviceId = kShortDeviceId) { return testrig::PrinterCable(deviceId); }

    // Plugs a cable; returns its machine number.
    int plug(w98::CableOptions options = cableOptions());
    // The devnode of cable `number` (state Removed when it is gone).
    std::optional<w98::DevNodeInfo> devnode(int number);
    sim::Cable& cable(int number) { return *machine().cable(number)->cable; }
    std::vector<uint8_t> printed(int number) { return cable(number).printed(); }
    // The port name the cable published ("KVUSB1"), or "" when none.
    std::string portName(int number);
    // Children (the printer) of the cable's devnode.
    std::vector<w98::DevNodeInfo> children(int number);

    // Prints through the host port monitor.
    ostrolink::PrintJobResult print(const std::string& port, std::span<const uint8_t> data,
                                    int64_t timeout = ostrolink::PortMonitor::kDefaultTimeout);

    // Lets virtual time pass for the test thread until `pred` holds or `limit` of virtual time passed.
    bool waitFor(const std::function<bool()>& pred, w98::Ticks limit, w98::Ticks step = w98::Clock::kMillisecond);

    // A handle the scenario keeps between its setup and its body.
    w98::UserIo::Handle handle = w98::UserIo::kInvalidHandle;

    // Ends the run and lists what is wrong. Safe to call once; the machine is gone afterwards.
    std::vector<std::string> finish();

private:
    std::unique_ptr<ScratchMachine> scratch_;
};

// A job of `size` bytes whose every byte tells its position (so a lost or repeated block shows).
std::vector<uint8_t> JobData(size_t size, uint32_t seed = 1);

// The print integrity rule: a job either reached the printer whole and in order and was reported done,
// or was reported failed, with its first bytes at the printer and nothing reported that the printer did not
// take. The count reported is exact, except for a request cut in the middle by the cable going: a failed
// transfer reports no bytes (Information 0), so up to `requestSize` bytes (one request, all of it when
// the cable went between the last packet and the completion) may be at the
// printer unreported; `cut` then says so. With `requestSize` 0 the count must be exact. Returns a description
// of the breach, or "".
std::string CheckIntegrity(const ostrolink::PrintJobResult& result, std::span<const uint8_t> job,
                           std::span<const uint8_t> printed, size_t requestSize = 1024, bool* cut = nullptr);

}  // namespace rel
