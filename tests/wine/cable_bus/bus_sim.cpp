// The sim side of the cable bus: sim::Cable and sim::Printer1284 in slots, behind the C interface of
// bus_sim.h. Runs in Wine's device host, so it may use the C++ runtime (linked statically).
#define OSLNK_BUS_SIM_DLL
#include "bus_sim.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "bus_control.h"
#include "sim/cable.h"

namespace {

std::mutex slotsMutex;
std::shared_ptr<sim::Cable> slots[BUS_MAX_CABLES];

std::shared_ptr<sim::Cable> cableIn(unsigned slot) {
    if (slot >= BUS_MAX_CABLES) return nullptr;
    std::lock_guard lock(slotsMutex);
    return slots[slot];
}

int handshakeOf(sim::ControlStatus status) {
    switch (status) {
        case sim::ControlStatus::Ack: return BusAck;
        case sim::ControlStatus::Stall: return BusStall;
        case sim::ControlStatus::Error: return BusError;
    }
    return BusError;
}

int handshakeOf(sim::BulkStatus status) {
    switch (status) {
        case sim::BulkStatus::Ack: return BusAck;
        case sim::BulkStatus::Nak: return BusNak;
        case sim::BulkStatus::Stall: return BusStall;
        case sim::BulkStatus::Error: return BusError;
    }
    return BusError;
}

unsigned copyOut(const std::vector<uint8_t>& bytes, unsigned offset, unsigned char* out, unsigned max) {
    if (offset >= bytes.size()) return 0;
    unsigned n = unsigned(std::min<size_t>(max, bytes.size() - offset));
    if (n) std::memcpy(out, bytes.data() + offset, n);
    return n;
}

}  // namespace

extern "C" {

bool BusSimPlug(unsigned slot, const char* deviceId) {
    if (slot >= BUS_MAX_CABLES) return false;
    sim::PrinterConfig printer;
    printer.deviceId = deviceId;
    std::shared_ptr<sim::Cable> cable;
    try {
        cable = std::make_shared<sim::Cable>(sim::CableConfig{}, printer);
    } catch (...) {
        return false;
    }
    std::lock_guard lock(slotsMutex);
    if (slots[slot]) return false;
    slots[slot] = std::move(cable);
    return true;
}

void BusSimUnplug(unsigned slot) {
    if (slot >= BUS_MAX_CABLES) return;
    std::lock_guard lock(slotsMutex);
    slots[slot].reset();
}

bool BusSimPresent(unsigned slot) { return cableIn(slot) != nullptr; }

int BusSimControl(unsigned slot, const unsigned char setup[8], unsigned char* data, unsigned length, unsigned* moved) {
    *moved = 0;
    auto cable = cableIn(slot);
    if (!cable) return BusError;
    sim::SetupPacket packet{setup[0], setup[1], uint16_t(setup[2] | setup[3] << 8), uint16_t(setup[4] | setup[5] << 8),
                            uint16_t(setup[6] | setup[7] << 8)};
    sim::ControlResult r = cable->control(packet, std::span<uint8_t>(data, length));
    *moved = unsigned(std::min<size_t>(r.length, length));
    return handshakeOf(r.status);
}

int BusSimBulk(unsigned slot, unsigned char endpoint, unsigned char* data, unsigned length, unsigned* moved) {
    *moved = 0;
    auto cable = cableIn(slot);
    if (!cable) return BusError;
    sim::BulkResult r = (endpoint & 0x80) ? cable->bulkIn(endpoint, std::span<uint8_t>(data, length))
                                          : cable->bulkOut(endpoint, std::span<const uint8_t>(data, length));
    *moved = unsigned(std::min<size_t>(r.length, length));
    return handshakeOf(r.status);
}

bool BusSimChangesByItself(unsigned slot) {
    auto cable = cableIn(slot);
    return cable && cable->changesByItself();
}

unsigned long long BusSimChanges(unsigned slot) {
    auto cable = cableIn(slot);
    return cable ? cable->changes() : 0;
}

void BusSimHalt(unsigned slot, unsigned char endpoint) {
    if (auto cable = cableIn(slot)) cable->haltEndpoint(endpoint);
}

bool BusSimHalted(unsigned slot, unsigned char endpoint) {
    auto cable = cableIn(slot);
    return cable && cable->halted(endpoint);
}

unsigned BusSimDeviceDescriptor(unsigned slot, unsigned char* out, unsigned max) {
    auto cable = cableIn(slot);
    if (!cable) return 0;
    copyOut(cable->deviceDescriptor(), 0, out, max);
    return unsigned(cable->deviceDescriptor().size());
}

unsigned BusSimConfigurationDescriptor(unsigned slot, unsigned char* out, unsigned max) {
    auto cable = cableIn(slot);
    if (!cable) return 0;
    copyOut(cable->configurationDescriptor(), 0, out, max);
    return unsigned(cable->configurationDescriptor().size());
}

unsigned BusSimPrinted(unsigned slot, unsigned offset, unsigned char* out, unsigned max) {
    auto cable = cableIn(slot);
    return cable ? copyOut(cable->printed(), offset, out, max) : 0;
}

unsigned BusSimSetupLog(unsigned slot, unsigned first, unsigned char* out, unsigned maxRecords) {
    auto cable = cableIn(slot);
    if (!cable) return 0;
    std::vector<sim::SetupPacket> log = cable->controlLog();
    unsigned n = 0;
    for (size_t i = first; i < log.size() && n < maxRecords; ++i, ++n) {
        const sim::SetupPacket& s = log[i];
        unsigned char* r = out + 8 * n;
        r[0] = s.bmRequestType;
        r[1] = s.bRequest;
        r[2] = uint8_t(s.wValue), r[3] = uint8_t(s.wValue >> 8);
        r[4] = uint8_t(s.wIndex), r[5] = uint8_t(s.wIndex >> 8);
        r[6] = uint8_t(s.wLength), r[7] = uint8_t(s.wLength >> 8);
    }
    return n;
}

void BusSimClearLog(unsigned slot) {
    if (auto cable = cableIn(slot)) cable->clearControlLog();
}

void BusSimSetPrinter(unsigned slot, bool paperEmpty, bool offline) {
    if (auto cable = cableIn(slot)) {
        cable->setPaperEmpty(paperEmpty);
        cable->setOffline(offline);
    }
}
}
