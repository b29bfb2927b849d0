#include "sim/cable.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {

const char* toString(ControlStatus s) {
    switch (s) {
        case ControlStatus::Ack: return "Ack";
        case ControlStatus::Stall: return "Stall";
        case ControlStatus::Error: return "Error";
    }
    return "?";
}

const char* toString(BulkStatus s) {
    switch (s) {
        case BulkStatus::Ack: return "Ack";
        case BulkStatus::Nak: return "Nak";
        case BulkStatus::Stall: return "Stall";
        case BulkStatus::Error: return "Error";
    }
    return "?";
}

std::vector<InterfaceConfig> CableConfig::defaultInterfaces() {
    AlternateConfig alt;
    alt.endpoints = {EndpointConfig{0x01, 0x02, 64, 0}, EndpointConfig{0x81, 0x02, 64, 0}};
    InterfaceConfig itf;
    itf.number = 2;
    itf.alternates = {alt};
    return {itf};
}

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

uint8_t stringIndex(const CableConfig& c, int which) {
    // Strings are numbered in the order manufacturer, product, serial, skipping empty ones.
    const std::string* all[3] = {&c.manufacturer, &c.product, &c.serialNumber};
    if (all[which]->empty()) return 0;
    uint8_t index = 0;
    for (int i = 0; i <= which; ++i) {
        if (!all[i]->empty()) ++index;
    }
    return index;
}

void checkRaw(const std::vector<uint8_t>& d, const char* where) {
    if (d.size() < 2 || d.size() > 255 || d[0] != d.size()) {
        throw std::invalid_argument(std::string(where) + ": a raw descriptor must be 2..255 bytes and start with its own length");
    }
}

void validate(const CableConfig& c) {
    if (c.maxPacket0 != 8 && c.maxPacket0 != 16 && c.maxPacket0 != 32 && c.maxPacket0 != 64) {
        throw std::invalid_argument("endpoint 0 packet size must be 8, 16, 32 or 64");
    }
    if (c.configurationValue == 0) throw std::invalid_argument("configuration value 0 means unconfigured");
    if (c.interfaces.empty()) throw std::invalid_argument("a configuration needs at least one interface");
    std::set<uint8_t> numbers;
    for (const auto& itf : c.interfaces) {
        if (!numbers.insert(itf.number).second) {
            throw std::invalid_argument("interface " + std::to_string(itf.number) + " appears twice");
        }
        if (itf.alternates.empty()) {
            throw std::invalid_argument("interface " + std::to_string(itf.number) + " has no alternate setting");
        }
        std::set<uint8_t> alts;
        for (const auto& alt : itf.alternates) {
            if (!alts.insert(alt.alternateSetting).second) {
                throw std::invalid_argument("interface " + std::to_string(itf.number) + " repeats alternate setting " +
                                            std::to_string(alt.alternateSetting));
            }
            if (alt.endpoints.size() > 30) throw std::invalid_argument("too many endpoints in one setting");
            std::set<uint8_t> eps;
            for (const auto& ep : alt.endpoints) {
                if ((ep.address & 0x0F) == 0 || (ep.address & 0x70) != 0) {
                    throw std::invalid_argument("bad endpoint address " + std::to_string(ep.address));
                }
                if (!eps.insert(ep.address).second) {
                    throw std::invalid_argument("endpoint " + std::to_string(ep.address) + " appears twice in one setting");
                }
                if (ep.maxPacket == 0 || ep.maxPacket > 1023) throw std::invalid_argument("bad endpoint packet size");
            }
            for (const auto& d : alt.classDescriptors) checkRaw(d, "class descriptor");
        }
    }
    for (const auto& d : c.trailingDescriptors) checkRaw(d, "trailing descriptor");
    for (const auto* s : {&c.manufacturer, &c.product, &c.serialNumber}) {
        if (s->size() > 126) throw std::invalid_argument("string descriptor text longer than 126 characters");
    }
}

}  // namespace

std::vector<uint8_t> buildDeviceDescriptor(const CableConfig& c) {
    validate(c);
    std::vector<uint8_t> d;
    d.push_back(18);
    d.push_back(usb::kDeviceDescriptor);
    put16(d, c.bcdUSB);
    d.push_back(0);  // class per interface
    d.push_back(0);
    d.push_back(0);
    d.push_back(c.maxPacket0);
    put16(d, c.vendorId);
    put16(d, c.productId);
    put16(d, c.bcdDevice);
    d.push_back(stringIndex(c, 0));
    d.push_back(stringIndex(c, 1));
    d.push_back(stringIndex(c, 2));
    d.push_back(1);  // one configuration
    return d;
}

std::vector<uint8_t> buildConfigurationDescriptor(const CableConfig& c) {
    validate(c);
    std::vector<uint8_t> d = {9, usb::kConfigurationDescriptor, 0, 0, static_cast<uint8_t>(c.interfaces.size()),
                              c.configurationValue, 0, static_cast<uint8_t>(c.configAttributes | 0x80), c.maxPower};
    for (const auto& itf : c.interfaces) {
        for (const auto& alt : itf.alternates) {
            d.insert(d.end(), {9, usb::kInterfaceDescriptor, itf.number, alt.alternateSetting,
                               static_cast<uint8_t>(alt.endpoints.size()), alt.interfaceClass, alt.interfaceSubClass,
                               alt.interfaceProtocol, 0});
            for (const auto& raw : alt.classDescriptors) d.insert(d.end(), raw.begin(), raw.end());
            for (const auto& ep : alt.endpoints) {
                d.insert(d.end(), {7, usb::kEndpointDescriptor, ep.address, ep.attributes});
                put16(d, ep.maxPacket);
                d.push_back(ep.interval);
            }
        }
    }
    for (const auto& raw : c.trailingDescriptors) d.insert(d.end(), raw.begin(), raw.end());
    if (d.size() > 0xFFFF) throw std::invalid_argument("configuration descriptor longer than 65535 bytes");
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

// ---------------------------------------------------------------------------------------------

void Cable::Notifier::arm() {
    armed = true;
    lines = cable.printer_.lineChanges();
    ready = cable.printer_.readyForData();
    backlog = cable.printer_.backChannelSize();
}

bool Cable::Notifier::moved() const {
    const Printer1284& p = cable.printer_;
    return armed && (p.lineChanges() != lines || p.readyForData() != ready || p.backChannelSize() != backlog);
}

Cable::Notifier::~Notifier() {
    std::function<void()> h;
    {
        std::lock_guard lock(cable.mutex_);
        if (changed || moved()) {
            ++cable.changes_;
            h = cable.handler_;
        }
    }
    if (h) h();
}

Cable::Cable(CableConfig config, PrinterConfig printer)
    : config_(std::move(config)),
      deviceDescriptor_(buildDeviceDescriptor(config_)),
      configDescriptor_(buildConfigurationDescriptor(config_)),
      printer_(std::move(printer)),
      alternates_(config_.interfaces.size(), 0) {
    regs_[2] = config_.resetControl;
    printer_.setHostLines(decodeControl(regs_[2]));
}

void Cable::setChangeHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

uint64_t Cable::changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
}

bool Cable::changesByItself() const {
    std::lock_guard lock(mutex_);
    return printer_.changesByItself();
}

uint8_t Cable::address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

uint8_t Cable::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::optional<uint8_t> Cable::alternateSetting(uint8_t number) const {
    std::lock_guard lock(mutex_);
    if (configuration_ == 0) return std::nullopt;
    for (std::size_t i = 0; i < config_.interfaces.size(); ++i) {
        if (config_.interfaces[i].number == number) return alternates_[i];
    }
    return std::nullopt;
}

std::optional<EndpointConfig> Cable::endpoint(uint8_t address) const {
    std::lock_guard lock(mutex_);
    return findEndpoint(address);
}

uint8_t Cable::reg(uint8_t index) const {
    std::lock_guard lock(mutex_);
    if (index == 1) return encodeStatus(printer_.peekLines());
    if (index >= 3 && index <= 5) return 0;
    return index < 9 ? regs_[index] : 0;
}

unsigned Cable::softResets() const {
    std::lock_guard lock(mutex_);
    return softResets_;
}

std::vector<SetupPacket> Cable::controlLog() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void Cable::clearControlLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

const AlternateConfig* Cable::currentAlternate(const InterfaceConfig& itf) const {
    const std::size_t i = static_cast<std::size_t>(&itf - config_.interfaces.data());
    for (const auto& alt : itf.alternates) {
        if (alt.alternateSetting == alternates_[i]) return &alt;
    }
    return nullptr;
}

std::optional<EndpointConfig> Cable::findEndpoint(uint8_t address) const {
    if (configuration_ == 0) return std::nullopt;
    for (const auto& itf : config_.interfaces) {
        if (const auto* alt = currentAlternate(itf)) {
            for (const auto& ep : alt->endpoints) {
                if (ep.address == address) return ep;
            }
        }
    }
    return std::nullopt;
}

std::optional<uint8_t> Cable::defaultEndpoint(bool in) const {
    if (configuration_ == 0) return std::nullopt;
    for (const auto& itf : config_.interfaces) {
        if (const auto* alt = currentAlternate(itf)) {
            for (const auto& ep : alt->endpoints) {
                if (ep.isIn() == in && (ep.attributes & 0x03) == 0x02) return ep.address;
            }
        }
    }
    return std::nullopt;
}

void Cable::clearHaltsOf(const InterfaceConfig& itf) {
    for (const auto& alt : itf.alternates) {
        for (const auto& ep : alt.endpoints) halted_.erase(ep.address);
    }
}

void Cable::haltEndpoint(uint8_t ep) {
    std::lock_guard lock(mutex_);
    halted_.insert(ep);
}

void Cable::clearHalt(uint8_t ep) {
    Notifier n(*this);
    std::lock_guard lock(mutex_);
    n.arm();
    n.changed = halted_.erase(ep) > 0;
}

bool Cable::halted(uint8_t ep) const {
    std::lock_guard lock(mutex_);
    return halted_.count(ep) != 0;
}

void Cable::busReset() {
    Notifier n(*this);
    std::lock_guard lock(mutex_);
    n.arm();
    address_ = 0;
    configuration_ = 0;
    std::fill(alternates_.begin(), alternates_.end(), 0);
    n.changed = !halted_.empty();
    halted_.clear();
}

void Cable::setPaperEmpty(bool empty) {
    withPrinter([empty](Printer1284& p) { p.setPaperEmpty(empty); });
}

void Cable::setOffline(bool off) {
    withPrinter([off](Printer1284& p) { p.setOffline(off); });
}

void Cable::queueBulkIn(std::span<const uint8_t> bytes) {
    Notifier n(*this);
    std::lock_guard lock(mutex_);
    n.arm();
    printer_.queueBackChannel(bytes);
    n.changed = !bytes.empty();
}

std::vector<uint8_t> Cable::printed() const {
    std::lock_guard lock(mutex_);
    return printer_.received();
}

void Cable::savePrinted(const std::filesystem::path& path) const {
    std::lock_guard lock(mutex_);
    printer_.saveReceived(path);
}

// ---------------------------------------------------------------------------------------------
// Control transfers

ControlResult Cable::control(const SetupPacket& setup, std::span<uint8_t> data) {
    Notifier n(*this);
    std::lock_guard lock(mutex_);
    n.arm();
    log_.push_back(setup);
    if (data.size() < setup.wLength) return ControlResult::error();
    if (config_.controlFilter) {
        if (auto r = config_.controlFilter(setup)) return *r;
    }
    if (config_.stalledRequests.count({setup.bmRequestType, setup.bRequest}) != 0) return ControlResult::stall();
    return handleControl(setup, data.first(setup.wLength), n);
}

ControlResult Cable::handleControl(const SetupPacket& setup, std::span<uint8_t> data, Notifier& n) {
    switch ((setup.bmRequestType >> 5) & 0x03) {
        case 0: return standardRequest(setup, data, n);
        case 1: return classRequest(setup, data, n);
        case 2: return vendorRequest(setup, data);
        default: return ControlResult::stall();
    }
}

namespace {
ControlResult reply(std::span<uint8_t> data, std::span<const uint8_t> bytes) {
    const std::size_t len = std::min(data.size(), bytes.size());
    if (len > 0) std::memcpy(data.data(), bytes.data(), len);
    return ControlResult::ack(len);
}
}  // namespace

ControlResult Cable::standardRequest(const SetupPacket& s, std::span<uint8_t> data, Notifier& n) {
    const uint8_t recipient = s.bmRequestType & 0x1F;
    const bool in = s.isIn();
    switch (s.bRequest) {
        case usb::kGetDescriptor:
            if (!in || recipient != 0) return ControlResult::stall();
            return getDescriptor(s, data);
        case usb::kSetAddress:
            if (in || recipient != 0 || s.wValue > 127 || s.wLength != 0) return ControlResult::stall();
            address_ = static_cast<uint8_t>(s.wValue);
            return ControlResult::ack();
        case usb::kGetConfiguration: {
            if (!in || recipient != 0) return ControlResult::stall();
            const uint8_t v = configuration_;
            return reply(data, std::span(&v, 1));
        }
        case usb::kSetConfiguration:
            if (in || recipient != 0 || s.wLength != 0) return ControlResult::stall();
            if (s.wValue == 0) {
                configuration_ = 0;
            } else if (s.wValue == config_.configurationValue) {
                configuration_ = config_.configurationValue;
            } else {
                return ControlResult::stall();
            }
            std::fill(alternates_.begin(), alternates_.end(), 0);
            // Each interface starts at its first listed setting when 0 is not among them.
            for (std::size_t i = 0; i < config_.interfaces.size(); ++i) {
                if (!currentAlternate(config_.interfaces[i])) {
                    alternates_[i] = config_.interfaces[i].alternates.front().alternateSetting;
                }
            }
            n.changed = !halted_.empty();
            halted_.clear();
            return ControlResult::ack();
        case usb::kGetInterface:
        case usb::kSetInterface: {
            if (recipient != 1 || configuration_ == 0) return ControlResult::stall();
            for (std::size_t i = 0; i < config_.interfaces.size(); ++i) {
                const auto& itf = config_.interfaces[i];
                if (itf.number != (s.wIndex & 0xFF)) continue;
                if (s.bRequest == usb::kGetInterface) {
                    if (!in) return ControlResult::stall();
                    const uint8_t v = alternates_[i];
                    return reply(data, std::span(&v, 1));
                }
                if (in || s.wLength != 0) return ControlResult::stall();
                for (const auto& alt : itf.alternates) {
                    if (alt.alternateSetting == s.wValue) {
                        alternates_[i] = alt.alternateSetting;
                        n.changed = true;
                        clearHaltsOf(itf);
                        return ControlResult::ack();
                    }
                }
                return ControlResult::stall();
            }
            return ControlResult::stall();
        }
        case usb::kClearFeature:
        case usb::kSetFeature: {
            if (in || s.wLength != 0) return ControlResult::stall();
            const bool set = s.bRequest == usb::kSetFeature;
            if (recipient == 2 && s.wValue == usb::kEndpointHalt) {
                const uint8_t ep = static_cast<uint8_t>(s.wIndex & 0xFF);
                if ((ep & 0x7F) == 0) return ControlResult::ack();  // endpoint 0 halts clear themselves
                if (!findEndpoint(ep)) return ControlResult::stall();
                if (set) {
                    halted_.insert(ep);
                } else if (halted_.erase(ep) > 0) {
                    n.changed = true;
                }
                return ControlResult::ack();
            }
            if (recipient == 0 && s.wValue == usb::kRemoteWakeup && (config_.configAttributes & 0x20)) {
                return ControlResult::ack();
            }
            return ControlResult::stall();
        }
        case usb::kGetStatus: {
            if (!in) return ControlResult::stall();
            uint8_t st[2] = {0, 0};
            if (recipient == 0) {
                if (config_.configAttributes & 0x40) st[0] |= 0x01;
            } else if (recipient == 1) {
                if (configuration_ == 0) return ControlResult::stall();
                const bool known = std::any_of(config_.interfaces.begin(), config_.interfaces.end(),
                                               [&](const InterfaceConfig& i) { return i.number == (s.wIndex & 0xFF); });
                if (!known) return ControlResult::stall();
            } else if (recipient == 2) {
                const uint8_t ep = static_cast<uint8_t>(s.wIndex & 0xFF);
                if ((ep & 0x7F) != 0) {
                    if (!findEndpoint(ep)) return ControlResult::stall();
                    if (halted_.count(ep)) st[0] |= 0x01;
                }
            } else {
                return ControlResult::stall();
            }
            return reply(data, st);
        }
        default:
            return ControlResult::stall();
    }
}

ControlResult Cable::getDescriptor(const SetupPacket& s, std::span<uint8_t> data) {
    const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
    const uint8_t index = static_cast<uint8_t>(s.wValue & 0xFF);
    switch (type) {
        case usb::kDeviceDescriptor:
            if (index != 0) return ControlResult::stall();
            return reply(data, deviceDescriptor_);
        case usb::kConfigurationDescriptor:
            if (index != 0) return ControlResult::stall();
            return reply(data, configDescriptor_);
        case usb::kStringDescriptor:
            if (auto str = stringDescriptor(index)) return reply(data, *str);
            return ControlResult::stall();
        default:
            return ControlResult::stall();
    }
}

std::optional<std::vector<uint8_t>> Cable::stringDescriptor(uint8_t index) const {
    const std::string* all[3] = {&config_.manufacturer, &config_.product, &config_.serialNumber};
    if (all[0]->empty() && all[1]->empty() && all[2]->empty()) return std::nullopt;
    if (index == 0) return std::vector<uint8_t>{4, usb::kStringDescriptor, 0x09, 0x04};  // US English
    for (int i = 0; i < 3; ++i) {
        if (stringIndex(config_, i) == index && index != 0) {
            std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * all[i]->size()), usb::kStringDescriptor};
            for (char ch : *all[i]) {
                d.push_back(static_cast<uint8_t>(ch));
                d.push_back(0);
            }
            return d;
        }
    }
    return std::nullopt;
}

ControlResult Cable::classRequest(const SetupPacket& s, std::span<uint8_t> data, Notifier& n) {
    const uint8_t recipient = s.bmRequestType & 0x1F;
    if (s.bRequest == usb::kGetPortStatus && s.bmRequestType == 0xA1) {
        // The cable answers whatever interface index it is asked with.
        const uint8_t v = portStatusByte(printer_.readLines());
        return reply(data, std::span(&v, 1));
    }
    if (s.bRequest == usb::kSoftReset && !s.isIn() && (recipient == 1 || recipient == 3)) {
        ++softResets_;
        n.changed = !halted_.empty();
        for (const auto& itf : config_.interfaces) clearHaltsOf(itf);
        return ControlResult::ack();
    }
    return ControlResult::stall();
}

ControlResult Cable::vendorRequest(const SetupPacket& s, std::span<uint8_t> data) {
    if (s.bmRequestType == 0xC0 && s.bRequest == usb::kVendorReadRegisters) {
        const uint16_t first = s.wValue;
        if (first > 8) return ControlResult::stall();
        uint8_t snap[7] = {};
        for (uint16_t i = 0; i < 7; ++i) {
            const uint16_t r = first + i;
            if (r == 1) {
                snap[i] = encodeStatus(printer_.readLines());
            } else if (r < 9 && (r < 3 || r > 5)) {
                snap[i] = regs_[r];
            }
        }
        return reply(data, snap);
    }
    if (s.bmRequestType == 0x40 && s.bRequest == usb::kVendorWriteRegister) {
        const uint8_t r = static_cast<uint8_t>(s.wValue >> 8);
        if (r > 8) return ControlResult::stall();
        writeRegister(r, static_cast<uint8_t>(s.wValue & 0xFF));
        return ControlResult::ack();
    }
    if (s.bmRequestType == 0xC2 && s.bRequest == usb::kVendorEndpointStatus) {
        const uint8_t ep = static_cast<uint8_t>(s.wIndex & 0xFF);
        if (!findEndpoint(ep)) return ControlResult::stall();
        const uint8_t st[2] = {static_cast<uint8_t>(halted_.count(ep) ? 1 : 0), 0};
        return reply(data, st);
    }
    return ControlResult::stall();
}

void Cable::writeRegister(uint8_t r, uint8_t value) {
    switch (r) {
        case 0:
            regs_[0] = value;
            printer_.setData(value);
            break;
        case 1:  // status lines: read only
        case 3:
        case 4:
        case 5:
            break;
        case 2:
            regs_[2] = value;
            printer_.setHostLines(decodeControl(value));
            break;
        default:
            regs_[r] = value;
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Bulk transfers

BulkResult Cable::bulkOut(std::span<const uint8_t> data) {
    std::optional<uint8_t> ep;
    {
        std::lock_guard lock(mutex_);
        ep = defaultEndpoint(false);
    }
    if (!ep) return {BulkStatus::Error, 0};
    return bulkOut(*ep, data);
}

BulkResult Cable::bulkIn(std::span<uint8_t> data) {
    std::optional<uint8_t> ep;
    {
        std::lock_guard lock(mutex_);
        ep = defaultEndpoint(true);
    }
    if (!ep) return {BulkStatus::Error, 0};
    return bulkIn(*ep, data);
}

BulkResult Cable::bulkOut(uint8_t address, std::span<const uint8_t> data) {
    Notifier n(*this);
    std::lock_guard lock(mutex_);
    n.arm();
    const auto ep = findEndpoint(address);
    if (!ep || ep->isIn()) return {BulkStatus::Error, 0};
    if (halted_.count(address)) return {BulkStatus::Stall, 0};
    if (data.empty()) return {BulkStatus::Ack, 0};  // zero-length packet
    if (config_.haltOutOnPaperEmpty && printer_.paperEmpty()) {
        halted_.insert(address);
        return {BulkStatus::Stall, 0};
    }
    const std::size_t taken = printer_.acceptBytes(data);
    printer_.poll();  // the controller's look at Busy
    if (taken == 0) {
        // A printer that will get ready by itself only does so when polled: ask for a retry.
        n.changed = printer_.changesByItself();
        return {BulkStatus::Nak, 0};
    }
    return {BulkStatus::Ack, taken};
}

BulkResult Cable::bulkIn(uint8_t address, std::span<uint8_t> data) {
    std::lock_guard lock(mutex_);
    const auto ep = findEndpoint(address);
    if (!ep || !ep->isIn()) return {BulkStatus::Error, 0};
    if (halted_.count(address)) return {BulkStatus::Stall, 0};
    if (data.empty()) return {BulkStatus::Ack, 0};
    const std::size_t n = printer_.takeBackChannel(data);
    if (n == 0) return {BulkStatus::Nak, 0};
    return {BulkStatus::Ack, n};
}

}  // namespace sim
