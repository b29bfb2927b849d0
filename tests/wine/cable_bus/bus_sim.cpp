// The sim side of the cable bus: sim::Cable and sim::Printer1284 in slots, behind the C interface of
// bus_sim.h. Runs in Wine's device host, so it may use the C++ runtime (linked statically).
#define OSLNK_BUS_SIM_DLL
#include "bus_sim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "bus_control.h"
#include "platform/usb/traffic_log.h"
#include "sim/cable.h"

namespace {

std::mutex slotsMutex;
std::shared_ptr<sim::Cable> slots[BUS_MAX_CABLES];
std::string slotDeviceIds[BUS_MAX_CABLES];  // the printer each slot's next plug brings, when it names none

// Every transfer on the bus, written as a capture like the host target's --pcap (the same writer).
w98::TrafficLog traffic;
std::atomic<uint64_t> trafficIndex{0};

// USBD statuses of the log's records, as the bus driver completes the URBs (bus_kernel.cpp's usbdFor).
constexpr int32_t kUsbdSuccess = 0;
constexpr int32_t kUsbdStall = int32_t(0xC0000004);
constexpr int32_t kUsbdNotResponding = int32_t(0xC0000011);

int64_t now100ns() {
    return std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The usbmon device address of a slot's cable.
uint8_t addressOf(unsigned slot) { return uint8_t(slot + 1); }

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
    std::lock_guard lock(slotsMutex);
    if (slots[slot]) return false;
    sim::PrinterConfig printer;
    if (*deviceId) printer.deviceId = deviceId;
    else if (!slotDeviceIds[slot].empty()) printer.deviceId = slotDeviceIds[slot];
    try {
        slots[slot] = std::make_shared<sim::Cable>(sim::CableConfig{}, printer);
        slotDeviceIds[slot] = printer.deviceId;
    } catch (...) {
        return false;  // an ID that the printer cannot answer with (too long for its length field)
    }
    return true;
}

bool BusSimSetDeviceId(unsigned slot, const char* deviceId) {
    if (slot >= BUS_MAX_CABLES) return false;
    std::lock_guard lock(slotsMutex);
    try {
        if (slots[slot]) slots[slot]->withPrinter([&](sim::Printer1284& p) { p.setDeviceId(deviceId); });
        slotDeviceIds[slot] = deviceId;
    } catch (...) {
        return false;  // an ID too long for its length field: the printer keeps the one it had
    }
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
    w98::TrafficRecord record;
    record.index = trafficIndex++;
    record.device = addressOf(slot);
    record.kind = w98::TransferKind::Control;
    record.in = (setup[0] & 0x80) != 0;
    record.endpoint = record.in ? 0x80 : 0x00;
    record.setup = {packet.bmRequestType, packet.bRequest, packet.wValue, packet.wIndex, packet.wLength};
    record.requestedLength = length;
    if (!record.in) record.data.assign(data, data + length);
    record.submitTime = now100ns();
    const size_t position = traffic.begin(std::move(record));
    sim::ControlResult r = cable->control(packet, std::span<uint8_t>(data, length));
    *moved = unsigned(std::min<size_t>(r.length, length));
    const int handshake = handshakeOf(r.status);
    const int32_t usbd = handshake == BusAck ? kUsbdSuccess : handshake == BusStall ? kUsbdStall : kUsbdNotResponding;
    traffic.complete(position, usbd, now100ns(), usbd == kUsbdSuccess ? *moved : 0,
                     record.in && usbd == kUsbdSuccess ? data : nullptr, *moved);
    return handshake;
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

unsigned BusSimBulkBegin(unsigned slot, unsigned char endpoint, const unsigned char* data, unsigned length) {
    if (slot >= BUS_MAX_CABLES) return 0;
    w98::TrafficRecord record;
    record.index = trafficIndex++;
    record.device = addressOf(slot);
    record.kind = w98::TransferKind::Bulk;
    record.endpoint = endpoint;
    record.in = (endpoint & 0x80) != 0;
    record.requestedLength = length;
    if (!record.in && data) record.data.assign(data, data + length);
    record.submitTime = now100ns();
    return unsigned(traffic.begin(std::move(record))) + 1;
}

void BusSimBulkEnd(unsigned position, long usbdStatus, const unsigned char* data, unsigned moved) {
    if (position == 0) return;
    // OUT: the record already holds the bytes offered; the log keeps the ones that moved.
    traffic.complete(position - 1, int32_t(usbdStatus), now100ns(), moved, data, data ? moved : 0);
}

unsigned BusSimPcap(unsigned offset, unsigned char* out, unsigned max) { return copyOut(traffic.pcap(), offset, out, max); }

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
