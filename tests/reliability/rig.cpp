#include "rig.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace rel {

uint64_t CampaignStride()
{
    static const uint64_t stride = [] {
        const char* text = std::getenv("OSLNK_RELIABILITY_STRIDE");
        const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return static_cast<uint64_t>(value < 1 ? 1 : value);
    }();
    return stride;
}

Rig::Rig(const std::string& name) : scratch_(std::make_unique<ScratchMachine>("rel_" + name))
{
    kernel().verifier().setAction(w98::Verifier::Action::Record);
}

Rig::~Rig()
{
    if (scratch_->running()) finish();
}

int Rig::plug(w98::CableOptions options) { return machine().plug(std::move(options)); }

std::optional<w98::DevNodeInfo> Rig::devnode(int number) { return machine().devnode(number); }

std::string Rig::portName(int number) { return testrig::PortNameOf(machine(), number).value_or(""); }

std::vector<w98::DevNodeInfo> Rig::children(int number) { return testrig::ChildrenOf(machine(), number); }

ostrolink::PrintJobResult Rig::print(const std::string& port, std::span<const uint8_t> data, int64_t timeout)
{
    ostrolink::PortMonitor monitor(machine());
    return monitor.print(port, data, timeout);
}

bool Rig::waitFor(const std::function<bool()>& pred, w98::Ticks limit, w98::Ticks step)
{
    const w98::Ticks deadline = now() + limit;
    while (!pred()) {
        if (now() >= deadline) return false;
        kernel().clock().sleepFor(step, "reliability rig: waiting for a condition");
    }
    return true;
}

std::vector<std::string> Rig::finish()
{
    std::vector<std::string> problems;
    if (!scratch_->running()) return problems;
    w98::Kernel& k = kernel();
    k.pool().clearFaults();
    usb().faults().clear();

    // What the scenario left: handles first (a lingering device goes with its last handle), then cables.
    k.user().closeAll();
    for (int number : machine().presentCables()) {
        try {
            machine().unplug(number);
        } catch (const std::exception& e) {
            problems.push_back(std::string("unplugging at the end failed: ") + e.what());
        }
    }
    k.pnp().waitIdle();

    for (const auto& block : k.pool().outstanding(w98::kDriverPoolTag))
        problems.push_back("driver pool block of " + std::to_string(block.size) + " bytes (allocation #" +
                           std::to_string(block.serial) + ") still allocated after every cable went");
    if (k.io().outstandingRequests() != 0) {
        std::string text = "requests still outstanding:";
        for (const auto& line : k.io().outstandingRequestReport()) text += " [" + line + "]";
        problems.push_back(text);
    }
    if (usb().pendingRequests() != 0)
        problems.push_back(std::to_string(usb().pendingRequests()) + " USB requests still pending on the bus");
    if (k.openKeyHandles() != 0)
        problems.push_back(std::to_string(k.openKeyHandles()) + " registry handles left open");
    for (const auto& [link, target] : k.io().symbolicLinks())
        if (link.find("KVUSB") != std::string::npos)
            problems.push_back("DOS name " + link + " -> " + target + " left after every cable went");
    for (const auto& entry : k.verifier().recorded())
        problems.push_back("VERIFIER " + std::string(w98::faultName(entry.fault)) + ": " + entry.message);

    // What the kernel's own teardown would report, while the verifier still records.
    k.verifier().clear();
    k.io().checkRequestLeaks("reliability run end");
    k.pool().checkLeaks("reliability run end", w98::kDriverPoolTag);
    for (const auto& entry : k.verifier().recorded())
        if (entry.fault != w98::Fault::PoolLeak && entry.fault != w98::Fault::RequestLeak)  // listed above
            problems.push_back("VERIFIER " + std::string(w98::faultName(entry.fault)) + ": " + entry.message);

    scratch_->stop();
    return problems;
}

std::vector<uint8_t> JobData(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        uint32_t x = static_cast<uint32_t>(i) * 2654435761u + seed * 40503u;
        x ^= x >> 13;
        data[i] = static_cast<uint8_t>(x ^ (x >> 8) ^ (i >> 10));
    }
    return data;
}

std::string CheckIntegrity(const ostrolink::PrintJobResult& result, std::span<const uint8_t> job,
                           std::span<const uint8_t> printed, size_t requestSize, bool* cut)
{
    if (cut) *cut = false;
    const auto describe = [&] {
        return " (job " + std::to_string(job.size()) + " bytes, reported " + std::to_string(result.bytes) +
               (result.failed ? " failed " + StatusText(result.status) : " done") + ", printer took " +
               std::to_string(printed.size()) + ")";
    };
    const size_t common = std::min(job.size(), printed.size());
    const auto mismatch = std::mismatch(job.begin(), job.begin() + static_cast<std::ptrdiff_t>(common), printed.begin());
    if (mismatch.first != job.begin() + static_cast<std::ptrdiff_t>(common))
        return "the printer's bytes differ from the job at offset " + std::to_string(mismatch.first - job.begin()) + describe();
    if (printed.size() > job.size()) return "the printer took more bytes than the job holds" + describe();
    if (!result.failed) {
        if (printed.size() != job.size() || result.bytes != job.size())
            return "reported done but the job did not reach the printer whole" + describe();
        return "";
    }
    if (result.status >= 0) return "reported failed with a success status" + describe();
    if (result.bytes > printed.size()) return "reported bytes as printed that the printer never took" + describe();
    if (printed.size() - result.bytes > requestSize)
        return "more than the one request in flight reached the printer unreported" + describe();
    if (cut) *cut = printed.size() != result.bytes;
    return "";
}

}  // namespace rel
