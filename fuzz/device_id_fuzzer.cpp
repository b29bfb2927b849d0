// Fuzz target: the IEEE 1284 device-ID exchange of the driver against a printer whose status lines the
// fuzzer drives.
//
// A cable is plugged into one long-lived machine for every input. Each read of the controller's registers
// reports, as the status register, the next byte of the input (the real simulated printer answers once the
// input is used up), so the negotiation, the nibble reads and the termination see arbitrary line patterns.
// The start reads the ID and reports the printer; then IOCTL_KVUSB_GET_DEVICE_ID runs the exchange again
// with an output length taken from the input. Afterwards the cable is unplugged. A crash, a verifier
// report (they abort), a driver pool block left behind, a request still pending, or a reply that is not
// zero past the bytes the printer could have sent, is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>
#include <unistd.h>

#include "include/oslnk_ioctl.h"
#include "machine/machine.h"
#include "usb/sim_cable_device.h"

namespace {

// Status bytes for the register reads, shared with the device (the bus calls it on other threads).
struct StatusScript {
    std::mutex mutex;
    std::vector<uint8_t> bytes;
    size_t next = 0;
    std::optional<uint8_t> take()
    {
        std::lock_guard lock(mutex);
        if (next >= bytes.size()) return std::nullopt;
        return bytes[next++];
    }
};

class ScriptedCable : public w98::SimCableDevice {
public:
    ScriptedCable(sim::Cable& cable, StatusScript& script) : SimCableDevice(cable), script_(script) {}
    w98::TransferResult control(const w98::SetupPacket& setup, std::span<uint8_t> data) override
    {
        w98::TransferResult result = SimCableDevice::control(setup, data);
        const bool registerRead = setup.bmRequestType == 0xC0 && setup.bRequest == sim::usb::kVendorReadRegisters;
        if (registerRead && result.handshake == w98::Handshake::Ack && result.bytes >= 1 && setup.wValue == 1) {
            if (auto status = script_.take()) data[0] = *status;  // byte 0: the status register
        }
        return result;
    }

private:
    StatusScript& script_;
};

struct World {
    std::filesystem::path folder;
    std::unique_ptr<w98::Machine> machine;
    StatusScript script;
    World()
    {
        folder = std::filesystem::temp_directory_path() / ("oslnk_fuzz_device_id_" + std::to_string(::getpid()));
        std::filesystem::remove_all(folder);
        machine = std::make_unique<w98::Machine>(folder);
    }
    ~World()
    {
        machine.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

World& TheWorld()
{
    static World* world = [] {
        auto* w = new World;
        std::atexit([] { delete &TheWorld(); });
        return w;
    }();
    return *world;
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 8192) return 0;
    World& world = TheWorld();
    w98::Machine& machine = *world.machine;
    w98::Kernel& kernel = machine.kernel();
    {
        std::lock_guard lock(world.script.mutex);
        world.script.bytes.assign(data + 2, data + size);
        world.script.next = 0;
    }
    const uint32_t idLength = (uint32_t(data[0]) << 8 | data[1]) % 2048;  // 0 is a refused length

    sim::PrinterConfig printer;
    printer.answerDelayPolls = data[0] & 3;
    sim::Cable cable({}, printer);
    w98::PortOptions port;
    port.synchronousControl = true;
    const int busPort = machine.usb().plug(std::make_shared<ScriptedCable>(cable, world.script), port);
    if (busPort == 0) Fail("the bus did not enumerate the cable");

    auto opened = kernel.user().open("\\\\.\\KVUSB1");
    if (opened.status == 0) {
        std::vector<uint8_t> reply(idLength + 16, 0xA5);
        auto r = kernel.user().deviceControl(opened.handle, IOCTL_KVUSB_GET_DEVICE_ID, nullptr, 0, reply.data(), idLength);
        if (r.status != 0 && idLength != 0) Fail("GET_DEVICE_ID with a buffer failed: " + std::to_string(r.status));
        for (size_t i = idLength; i < reply.size(); ++i)
            if (reply[i] != 0xA5) Fail("GET_DEVICE_ID wrote past its output buffer at " + std::to_string(i));
        kernel.user().close(opened.handle);
    }
    if ((data[0] & 4) != 0) {
        machine.usb().remove(busPort);
    } else {
        machine.usb().unplug(busPort);
    }
    kernel.pnp().waitIdle();

    if (!kernel.pool().outstanding(w98::kDriverPoolTag).empty())
        Fail("driver pool blocks left after the cable went:\n" + kernel.pool().report());
    if (kernel.io().outstandingRequests() != 0 || machine.usb().pendingRequests() != 0)
        Fail("requests left after the cable went");
    return 0;
}
