// The cable on libusb: discovery, opening, the controller's requests and the device-ID exchange in the
// order oslnk.sys sends them, pipe recovery, and the queued bulk writer.
#include "ostrolink_usb.h"

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <thread>

namespace ostrolink::usb {

namespace {

// The Windows driver's SubmitUrb gives every control request 2 s before it cancels it.
constexpr unsigned kControlTimeoutMs = 2000;
// Handshake waits: up to 35 register reads, 1 ms apart (the driver's KeDelayExecutionThread of 10,000
// 100-ns units); the register set-up sleeps 2 ms between writes.
constexpr unsigned kHandshakePolls = 35;
constexpr auto kHandshakeInterval = std::chrono::milliseconds(1);
constexpr auto kSetupInterval = std::chrono::milliseconds(2);

constexpr uint8_t kReqVendorDeviceIn = 0xC0, kReqVendorDeviceOut = 0x40, kReqClassInterfaceIn = 0xA1,
                  kReqClassOtherOut = 0x23, kReqVendorEndpointIn = 0xC2;
constexpr uint8_t kVendorReadRegisters = 3, kVendorWriteRegister = 4, kGetPortStatus = 1, kSoftReset = 2;

constexpr uint8_t kRegData = 0, kRegControl = 2, kRegConfigA = 6, kRegConfigB = 7, kRegConfigC = 8;
constexpr uint8_t kStatusNFault = 0x08, kStatusNAck = 0x40;
constexpr uint8_t kControlStrobe = 0x01, kControlAutoFeed = 0x02, kControlNInit = 0x04, kControlSelectIn = 0x08;
constexpr uint8_t kExtensibilityDeviceIdNibble = 0x04;

ErrorKind kindOf(int code)
{
    switch (code) {
    case LIBUSB_ERROR_NO_DEVICE: return ErrorKind::Gone;
    case LIBUSB_ERROR_NOT_FOUND: return ErrorKind::NotFound;
    case LIBUSB_ERROR_ACCESS: return ErrorKind::Access;
    case LIBUSB_ERROR_BUSY: return ErrorKind::Busy;
    case LIBUSB_ERROR_TIMEOUT: return ErrorKind::Timeout;
    case LIBUSB_ERROR_PIPE: return ErrorKind::Stall;
    case LIBUSB_ERROR_INVALID_PARAM: return ErrorKind::InvalidArgument;
    case LIBUSB_ERROR_OVERFLOW: return ErrorKind::Protocol;
    default: return ErrorKind::Io;
    }
}

[[noreturn]] void fail(int code, const std::string& what)
{
    throw Error(kindOf(code), what + ": " + libusb_strerror(static_cast<libusb_error>(code)), code);
}

bool isCable(libusb_device* device)
{
    libusb_device_descriptor descriptor{};
    return libusb_get_device_descriptor(device, &descriptor) == 0 && descriptor.idVendor == kVendorId &&
           descriptor.idProduct == kProductId;
}

std::string locationOf(libusb_device* device)
{
    uint8_t ports[8];
    int count = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string text = std::to_string(libusb_get_bus_number(device));
    if (count <= 0) {
        char address[8];
        std::snprintf(address, sizeof address, ":%03u", libusb_get_device_address(device));
        char bus[8];
        std::snprintf(bus, sizeof bus, "%03u", libusb_get_bus_number(device));
        return bus + std::string(address);
    }
    for (int i = 0; i < count; ++i) text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return text;
}

std::string readString(libusb_device_handle* handle, uint8_t index)
{
    if (index == 0) return {};
    unsigned char text[256];
    int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n)) : std::string();
}

CableInfo describe(libusb_device* device, libusb_device_handle* handle)
{
    CableInfo info;
    info.bus = libusb_get_bus_number(device);
    info.address = libusb_get_device_address(device);
    info.location = locationOf(device);
    libusb_device_descriptor descriptor{};
    if (handle != nullptr && libusb_get_device_descriptor(device, &descriptor) == 0) {
        info.serialNumber = readString(handle, descriptor.iSerialNumber);
        info.manufacturer = readString(handle, descriptor.iManufacturer);
        info.product = readString(handle, descriptor.iProduct);
    }
    return info;
}

// "1-2.4" or "001:005" against a device.
bool locationMatches(libusb_device* device, const std::string& location)
{
    auto colon = location.find(':');
    if (colon != std::string::npos) {
        unsigned bus = 0, address = 0;
        auto a = std::from_chars(location.data(), location.data() + colon, bus);
        auto b = std::from_chars(location.data() + colon + 1, location.data() + location.size(), address);
        return a.ec == std::errc() && b.ec == std::errc() && a.ptr == location.data() + colon &&
               b.ptr == location.data() + location.size() && bus == libusb_get_bus_number(device) &&
               address == libusb_get_device_address(device);
    }
    return location == locationOf(device);
}

struct DeviceList {
    explicit DeviceList(libusb_context* ctx)
    {
        ssize_t n = libusb_get_device_list(ctx, &devices);
        if (n < 0) fail(static_cast<int>(n), "listing USB devices");
        count = static_cast<std::size_t>(n);
    }
    ~DeviceList() { libusb_free_device_list(devices, 1); }
    std::span<libusb_device*> all() const { return {devices, count}; }
    libusb_device** devices = nullptr;
    std::size_t count = 0;
};

std::string upper(std::string_view text)
{
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

}  // namespace

const char* toString(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::NotFound: return "not found";
    case ErrorKind::Gone: return "cable unplugged";
    case ErrorKind::Access: return "access denied";
    case ErrorKind::Busy: return "busy";
    case ErrorKind::Timeout: return "timed out";
    case ErrorKind::Stall: return "stalled";
    case ErrorKind::Protocol: return "protocol error";
    case ErrorKind::InvalidArgument: return "invalid argument";
    case ErrorKind::Io: return "I/O error";
    }
    return "?";
}

const char* toString(WriteStop stop)
{
    switch (stop) {
    case WriteStop::Done: return "done";
    case WriteStop::PaperEmpty: return "paper empty";
    case WriteStop::Offline: return "offline";
    case WriteStop::Stalled: return "stalled";
    case WriteStop::Cancelled: return "cancelled";
    case WriteStop::Gone: return "cable unplugged";
    case WriteStop::Failed: return "failed";
    }
    return "?";
}

Error::Error(ErrorKind kind, const std::string& what, int libusbCode)
    : std::runtime_error(what), kind_(kind), code_(libusbCode)
{
}

std::string PrinterState::words() const
{
    std::string text;
    auto add = [&](const char* word) { text += (text.empty() ? "" : ", ") + std::string(word); };
    if (paperEmpty()) add("paper empty");
    if (offline()) add("offline");
    if (error()) add("error");
    if (busy()) add("busy");
    return text.empty() ? "ready" : text;
}

DeviceIdFields parseDeviceId(std::string_view id)
{
    DeviceIdFields fields;
    while (!id.empty()) {
        auto end = id.find(';');
        std::string_view pair = id.substr(0, end);
        id = end == std::string_view::npos ? std::string_view() : id.substr(end + 1);
        auto colon = pair.find(':');
        if (colon == std::string_view::npos) continue;
        std::string key = upper(trim(pair.substr(0, colon)));
        std::string value(trim(pair.substr(colon + 1)));
        std::string* target = nullptr;
        if (key == "MFG" || key == "MANUFACTURER") target = &fields.manufacturer;
        else if (key == "MDL" || key == "MODEL") target = &fields.model;
        else if (key == "CMD" || key == "COMMAND SET") target = &fields.commandSet;
        else if (key == "DES" || key == "DESCRIPTION") target = &fields.description;
        else if (key == "CLS" || key == "CLASS") target = &fields.printerClass;
        if (target != nullptr && target->empty()) *target = std::move(value);
    }
    return fields;
}

// ----------------------------------------------------------------------------------------------------
Context::Context()
{
    int rc = libusb_init(&ctx_);
    if (rc != 0) fail(rc, "starting libusb");
}

Context::~Context()
{
    libusb_exit(ctx_);
}

std::vector<CableInfo> Context::listCables()
{
    std::vector<CableInfo> cables;
    DeviceList list(ctx_);
    for (libusb_device* device : list.all()) {
        if (!isCable(device)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != 0) handle = nullptr;
        cables.push_back(describe(device, handle));
        if (handle != nullptr) libusb_close(handle);
    }
    std::sort(cables.begin(), cables.end(), [](const CableInfo& a, const CableInfo& b) {
        return std::pair(a.bus, a.address) < std::pair(b.bus, b.address);
    });
    return cables;
}

// ----------------------------------------------------------------------------------------------------
Cable::Cable(Context& context, const CableSelector& selector, const OpenOptions& options)
    : context_(context), options_(options)
{
    DeviceList list(context.raw());
    std::vector<std::string> seen;
    std::vector<std::string> unreadable;
    libusb_device* chosen = nullptr;
    for (libusb_device* device : list.all()) {
        if (!isCable(device)) continue;
        if (!selector.location.empty() && !locationMatches(device, selector.location)) continue;
        libusb_device_handle* handle = nullptr;
        int rc = libusb_open(device, &handle);
        if (!selector.serialNumber.empty()) {
            if (rc != 0) {  // cannot tell its serial number
                unreadable.push_back(locationOf(device) + " (" + libusb_strerror(static_cast<libusb_error>(rc)) + ")");
                continue;
            }
            CableInfo info = describe(device, handle);
            if (info.serialNumber != selector.serialNumber) {
                libusb_close(handle);
                continue;
            }
        }
        seen.push_back(locationOf(device));
        if (chosen != nullptr) {
            if (rc == 0) libusb_close(handle);
            continue;
        }
        if (rc != 0) fail(rc, "opening the cable at " + locationOf(device));
        chosen = device;
        handle_ = handle;
    }
    if (chosen == nullptr) {
        std::string which = !selector.serialNumber.empty() ? "with serial number \"" + selector.serialNumber + "\""
                            : !selector.location.empty() ? "at " + selector.location
                                                         : "on any bus";
        std::string note;
        for (const auto& u : unreadable) note += (note.empty() ? "; could not open " : ", ") + u;
        throw Error(ErrorKind::NotFound, "no Ostrolink cable " + which + note);
    }
    if (seen.size() > 1) {
        libusb_close(handle_);
        std::sort(seen.begin(), seen.end());
        std::string names;
        for (const auto& s : seen) names += (names.empty() ? "" : ", ") + s;
        throw Error(ErrorKind::NotFound, "several cables match (" + names + "); choose one by serial number or location");
    }
    info_ = describe(chosen, handle_);

    auto closeAndFail = [&](int rc, const std::string& what) {
        if (claimed_) libusb_release_interface(handle_, options_.interfaceNumber);
        if (reattach_) libusb_attach_kernel_driver(handle_, options_.interfaceNumber);
        libusb_close(handle_);
        handle_ = nullptr;
        fail(rc, what);
    };

    // The kernel configures a device when it is plugged in; one left unconfigured gets the first
    // configuration, as the Windows driver's select-configuration request does.
    libusb_config_descriptor* config = nullptr;
    int current = 0;
    int rc = libusb_get_configuration(handle_, &current);
    if (rc != 0) closeAndFail(rc, "reading the configuration");
    if (current == 0) {
        rc = libusb_get_config_descriptor(chosen, 0, &config);
        if (rc != 0) closeAndFail(rc, "reading the configuration descriptor");
        int value = config->bConfigurationValue;
        libusb_free_config_descriptor(config);
        config = nullptr;
        rc = libusb_set_configuration(handle_, value);
        if (rc != 0) closeAndFail(rc, "configuring the cable");
    }
    rc = libusb_get_active_config_descriptor(chosen, &config);
    if (rc != 0) closeAndFail(rc, "reading the configuration descriptor");
    const libusb_interface_descriptor* setting = nullptr;
    for (int i = 0; i < config->bNumInterfaces && setting == nullptr; ++i) {
        for (int a = 0; a < config->interface[i].num_altsetting; ++a) {
            const auto& alt = config->interface[i].altsetting[a];
            if (alt.bInterfaceNumber == options_.interfaceNumber && alt.bAlternateSetting == options_.alternateSetting) {
                setting = &alt;
                break;
            }
        }
    }
    // The Windows driver uses the first endpoint as its write pipe and the second as its read pipe;
    // here the first bulk OUT and the first bulk IN.
    if (setting != nullptr) {
        for (int e = 0; e < setting->bNumEndpoints; ++e) {
            const auto& ep = setting->endpoint[e];
            if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            uint8_t& slot = (ep.bEndpointAddress & 0x80) ? bulkIn_ : bulkOut_;
            if (slot == 0) slot = ep.bEndpointAddress;
        }
    }
    libusb_free_config_descriptor(config);
    if (setting == nullptr || bulkOut_ == 0) {
        closeAndFail(LIBUSB_ERROR_NOT_FOUND, "the cable has no interface " + std::to_string(options_.interfaceNumber) +
                                                 " with alternate setting " + std::to_string(options_.alternateSetting) +
                                                 " and a bulk OUT endpoint");
    }

    if (options_.detachKernelDriver && libusb_kernel_driver_active(handle_, options_.interfaceNumber) == 1) {
        rc = libusb_detach_kernel_driver(handle_, options_.interfaceNumber);
        if (rc != 0) closeAndFail(rc, "detaching the kernel's printer driver");
        reattach_ = true;
    }
    rc = libusb_claim_interface(handle_, options_.interfaceNumber);
    if (rc != 0) closeAndFail(rc, "claiming interface " + std::to_string(options_.interfaceNumber));
    claimed_ = true;
    if (options_.alternateSetting != 0) {
        rc = libusb_set_interface_alt_setting(handle_, options_.interfaceNumber, options_.alternateSetting);
        if (rc != 0) closeAndFail(rc, "selecting the alternate setting");
    }
    // The controller's printing state, as the Windows driver leaves it after its start.
    try {
        initPortRegisters();
    } catch (const Error& e) {
        closeAndFail(e.libusbCode() != 0 ? e.libusbCode() : LIBUSB_ERROR_IO, "setting the port registers up");
    }
}

Cable::~Cable()
{
    if (handle_ == nullptr) return;
    if (claimed_) libusb_release_interface(handle_, options_.interfaceNumber);
    if (reattach_) libusb_attach_kernel_driver(handle_, options_.interfaceNumber);
    libusb_close(handle_);
}

int Cable::control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                   uint16_t length, const char* what)
{
    int rc = libusb_control_transfer(handle_, requestType, request, value, index, data, length, kControlTimeoutMs);
    if (rc == LIBUSB_ERROR_NO_DEVICE) fail(rc, what);
    return rc;
}

RegisterSnapshot Cable::readRegisters()
{
    RegisterSnapshot snapshot{};
    int rc = control(kReqVendorDeviceIn, kVendorReadRegisters, 1, 0, snapshot.data(), snapshot.size(), "reading registers");
    if (rc < 0) fail(rc, "reading registers");
    if (rc != static_cast<int>(snapshot.size())) throw Error(ErrorKind::Protocol, "reading registers: short answer");
    return snapshot;
}

void Cable::writeRegister(uint8_t reg, uint8_t value)
{
    int rc = control(kReqVendorDeviceOut, kVendorWriteRegister, static_cast<uint16_t>(reg << 8 | value), 0, nullptr, 0,
                     "writing a register");
    if (rc < 0) fail(rc, "writing register " + std::to_string(reg));
}

uint8_t Cable::portStatus()
{
    uint8_t status = 0;
    // wIndex 0 whatever the interface number: the controller answers there, and so does the Windows driver.
    int rc = control(kReqClassInterfaceIn, kGetPortStatus, 0, 0, &status, 1, "reading the port status");
    if (rc < 0) fail(rc, "reading the port status");
    if (rc != 1) throw Error(ErrorKind::Protocol, "reading the port status: no data");
    return status;
}

void Cable::softReset()
{
    int rc = control(kReqClassOtherOut, kSoftReset, 0, 0, nullptr, 0, "soft reset");
    if (rc < 0) fail(rc, "soft reset");
}

uint16_t Cable::endpointStatus(uint8_t endpoint)
{
    uint8_t word[2] = {};
    int rc = control(kReqVendorEndpointIn, 0, 0, endpoint, word, 2, "reading the endpoint status");
    if (rc < 0) fail(rc, "reading the endpoint status");
    if (rc != 2) throw Error(ErrorKind::Protocol, "reading the endpoint status: short answer");
    return static_cast<uint16_t>(word[0] | word[1] << 8);
}

PrinterState Cable::state()
{
    PrinterState state;
    state.portStatus = portStatus();
    state.statusRegister = readRegisters()[0];
    return state;
}

void Cable::recoverPipes()
{
    // As the Windows driver's recovery: ask the write pipe's endpoint for its status (a stalled query is
    // no reason to stop), then clear the halt of every pipe, the write pipe first. Nothing is in flight
    // here, so its abort and reset steps have nothing to do on the wire.
    try {
        endpointStatus(bulkOut_);
    } catch (const Error& e) {
        if (e.kind() == ErrorKind::Gone) throw;
    }
    for (uint8_t endpoint : {bulkOut_, bulkIn_}) {
        if (endpoint == 0) continue;
        int rc = libusb_clear_halt(handle_, endpoint);
        if (rc != 0) fail(rc, "clearing the halt of endpoint " + std::to_string(endpoint));
    }
}

// ----------------------------------------------------------------------------------------------------
// The device-ID exchange, request for request as the Windows driver's ReadDeviceId / ReadNibbleByte /
// InitPortRegisters. Inside the handshakes a failed register read leaves the snapshot zero and a failed
// write is not looked at, as there; only an unplugged cable ends it early (control() throws).

bool Cable::waitForStatus(RegisterSnapshot& snapshot, uint8_t mask, uint8_t value)
{
    for (unsigned attempt = 0; attempt < kHandshakePolls; ++attempt) {
        snapshot.fill(0);
        control(kReqVendorDeviceIn, kVendorReadRegisters, 1, 0, snapshot.data(), snapshot.size(), "reading registers");
        if ((snapshot[0] & mask) == value) return true;
        std::this_thread::sleep_for(kHandshakeInterval);
    }
    return false;
}

namespace {
uint8_t lowNibble(uint8_t status)
{
    return static_cast<uint8_t>(((status & 0x38) >> 3) | ((static_cast<uint8_t>(~status) & 0x80) >> 4));
}
uint8_t highNibble(uint8_t status)
{
    return static_cast<uint8_t>(((status & 0x38) << 1) | (static_cast<uint8_t>(~status) & 0x80));
}
}  // namespace

bool Cable::readNibbleByte(uint8_t& byte)
{
    RegisterSnapshot s{};
    auto read = [&] {
        s.fill(0);
        control(kReqVendorDeviceIn, kVendorReadRegisters, 1, 0, s.data(), s.size(), "reading registers");
    };
    auto writeControl = [&](uint8_t v) {
        control(kReqVendorDeviceOut, kVendorWriteRegister, static_cast<uint16_t>(kRegControl << 8 | v), 0, nullptr, 0,
                "writing a register");
    };
    read();
    if (s[0] & kStatusNFault) return false;  // nFault high: no (more) data
    writeControl(s[1] | kControlAutoFeed);
    if (!waitForStatus(s, kStatusNAck, 0)) return false;
    uint8_t value = lowNibble(s[0]);
    writeControl(s[1] & ~kControlAutoFeed);
    if (!waitForStatus(s, kStatusNAck, kStatusNAck)) return false;
    writeControl(s[1] | kControlAutoFeed);
    if (!waitForStatus(s, kStatusNAck, 0)) return false;
    value |= highNibble(s[0]);
    writeControl(s[1] & ~kControlAutoFeed);
    if (!waitForStatus(s, kStatusNAck, kStatusNAck)) return false;
    byte = value;
    return true;
}

DeviceId Cable::readDeviceId(std::size_t bufferSize)
{
    DeviceId result;
    auto write = [&](uint8_t reg, uint8_t v) {
        return control(kReqVendorDeviceOut, kVendorWriteRegister, static_cast<uint16_t>(reg << 8 | v), 0, nullptr, 0,
                       "writing a register");
    };
    RegisterSnapshot s{};
    auto read = [&] {
        s.fill(0);
        return control(kReqVendorDeviceIn, kVendorReadRegisters, 1, 0, s.data(), s.size(), "reading registers");
    };

    if (write(kRegConfigB, 0xF8) < 0) {
        // The Windows driver gives up here without the termination handshake; its callers still set the
        // registers up afterwards.
        initPortRegisters();
        return result;
    }
    write(kRegConfigC, 0x01);
    write(kRegConfigA, 0x03);
    write(kRegData, kExtensibilityDeviceIdNibble);

    bool lengthRead = false;
    std::size_t length = 0;
    std::vector<uint8_t> id;
    // Negotiation: nSelectIn high and HostBusy low with the extensibility byte on the data lines.
    read();
    write(kRegControl, (s[1] & ~kControlSelectIn) | kControlAutoFeed);
    if (waitForStatus(s, 0x78, 0x38)) {
        write(kRegControl, s[1] | kControlStrobe);
        read();
        write(kRegControl, s[1] & ~(kControlStrobe | kControlAutoFeed));
        if (waitForStatus(s, 0x70, 0x50)) {
            uint8_t high = 0, low = 0;
            if (readNibbleByte(high) && readNibbleByte(low)) {
                lengthRead = true;
                length = static_cast<std::size_t>(high) << 8 | low;  // counts its own two bytes
                result.declaredLength = static_cast<uint16_t>(length);
                for (std::size_t position = 0; length > 2 && position < length - 2; ++position) {
                    uint8_t byte = 0;
                    if (!readNibbleByte(byte)) break;
                    id.push_back(byte);
                }
            }
        }
    }

    // Termination: back to compatibility mode whatever happened above.
    int lastRead = read();
    write(kRegControl, (s[1] | kControlNInit) & ~kControlAutoFeed);
    for (unsigned attempt = 0; attempt < kHandshakePolls; ++attempt) {
        lastRead = read();
        if ((s[0] & kStatusNAck) == 0) break;
        std::this_thread::sleep_for(kHandshakeInterval);
    }
    write(kRegControl, s[1] | kControlAutoFeed);
    for (unsigned attempt = 0; attempt < kHandshakePolls; ++attempt) {
        lastRead = read();
        if ((s[0] & kStatusNAck) == kStatusNAck) break;
        std::this_thread::sleep_for(kHandshakeInterval);
    }

    result.valid = lengthRead && length != 0 && lastRead >= 0;
    std::size_t expected = length > 2 ? length - 2 : 0;
    result.truncated = id.size() < expected || id.size() > bufferSize;
    if (id.size() > bufferSize) id.resize(bufferSize);
    result.text.assign(id.begin(), id.end());
    initPortRegisters();
    return result;
}

void Cable::initPortRegisters()
{
    RegisterSnapshot s{};
    if (control(kReqVendorDeviceIn, kVendorReadRegisters, 1, 0, s.data(), s.size(), "reading registers") < 0) return;
    std::this_thread::sleep_for(kSetupInterval);
    const std::pair<uint8_t, uint8_t> steps[] = {{kRegConfigB, 0xF8}, {kRegConfigA, 0x43}, {kRegControl, 0x4C}, {kRegConfigC, 0x01}};
    for (auto [reg, value] : steps) {
        control(kReqVendorDeviceOut, kVendorWriteRegister, static_cast<uint16_t>(reg << 8 | value), 0, nullptr, 0,
                "writing a register");
        std::this_thread::sleep_for(kSetupInterval);
    }
    control(kReqVendorDeviceIn, kVendorReadRegisters, 1, 0, s.data(), s.size(), "reading registers");
}

// ----------------------------------------------------------------------------------------------------
std::vector<uint8_t> Cable::readBackChannel(std::size_t maxBytes, std::chrono::milliseconds timeout)
{
    if (bulkIn_ == 0) throw Error(ErrorKind::NotFound, "the cable has no bulk IN endpoint");
    std::vector<uint8_t> data(maxBytes);
    int transferred = 0;
    int rc = libusb_bulk_transfer(handle_, bulkIn_, data.data(), static_cast<int>(data.size()), &transferred,
                                  static_cast<unsigned>(std::max<long long>(1, timeout.count())));
    if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) fail(rc, "reading the back channel");
    data.resize(static_cast<std::size_t>(transferred));
    return data;
}

namespace {

// One libusb transfer with its completion recorded; the writer looks at `done` after event handling.
struct Flight {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    bool busy = false;
    bool done = false;
    bool cancelRequested = false;
    std::size_t offset = 0;
    ~Flight()
    {
        if (transfer != nullptr) libusb_free_transfer(transfer);
    }
    static void LIBUSB_CALL completed(libusb_transfer* t)
    {
        auto* self = static_cast<Flight*>(t->user_data);
        self->done = true;
    }
    int submit()
    {
        transfer->user_data = this;
        transfer->callback = &Flight::completed;
        done = false;
        cancelRequested = false;
        int rc = libusb_submit_transfer(transfer);
        busy = rc == 0;
        return rc;
    }
    void cancel()
    {
        if (busy && !done && !cancelRequested) {
            cancelRequested = true;
            libusb_cancel_transfer(transfer);
        }
    }
};

}  // namespace

WriteResult Cable::write(std::span<const uint8_t> data, const WriteOptions& options)
{
    WriteResult result;
    // libusb counts a transfer's length in an int.
    const std::size_t transferSize = std::clamp<std::size_t>(options.transferSize, 1, std::size_t{1} << 24);
    const unsigned depth = std::max(2u, options.queueDepth);

    std::vector<std::unique_ptr<Flight>> pool;
    for (unsigned i = 0; i < depth; ++i) pool.push_back(std::make_unique<Flight>());
    std::deque<Flight*> queue;  // bulk OUT transfers in submission order
    std::size_t nextOffset = 0;
    bool stopping = false;
    bool gap = false;  // a transfer came back short and a later one still moved bytes

    auto stopWith = [&](WriteStop why, std::string message = {}) {
        if (stopping) return;
        stopping = true;
        result.stop = why;
        result.message = std::move(message);
    };

    // Status polling: GET_PORT_STATUS then the register snapshot, as one chain of control transfers.
    Flight statusFlight;
    std::array<uint8_t, LIBUSB_CONTROL_SETUP_SIZE + 7> statusBuffer{};
    int statusStep = 0;  // 0 idle, 1 port status in flight, 2 registers in flight
    PrinterState polled;
    bool havePolled = false;
    auto nextPoll = std::chrono::steady_clock::now();
    auto startStatus = [&](int step) {
        if (step == 1) libusb_fill_control_setup(statusBuffer.data(), kReqClassInterfaceIn, kGetPortStatus, 0, 0, 1);
        else libusb_fill_control_setup(statusBuffer.data(), kReqVendorDeviceIn, kVendorReadRegisters, 1, 0, 7);
        libusb_fill_control_transfer(statusFlight.transfer, handle_, statusBuffer.data(), nullptr, nullptr, kControlTimeoutMs);
        statusStep = statusFlight.submit() == 0 ? step : 0;
    };

    // The back channel, when asked for.
    Flight inFlight;
    std::vector<uint8_t> inBuffer(512);
    auto startIn = [&] {
        libusb_fill_bulk_transfer(inFlight.transfer, handle_, bulkIn_, inBuffer.data(), static_cast<int>(inBuffer.size()),
                                  nullptr, nullptr, 0);
        if (inFlight.submit() != 0) inFlight.busy = false;
    };
    const bool wantIn = options.onBackChannel && bulkIn_ != 0;
    if (wantIn) startIn();

    unsigned eventFailures = 0;
    auto inFlightCount = [&] { return static_cast<unsigned>(queue.size()); };
    auto anythingBusy = [&] { return !queue.empty() || statusFlight.busy || inFlight.busy; };

    while (true) {
        if (options.stop != nullptr && options.stop->load()) stopWith(WriteStop::Cancelled);

        // Keep the queue full.
        while (!stopping && nextOffset < data.size() && inFlightCount() < depth) {
            Flight* flight = nullptr;
            for (auto& f : pool) {
                if (!f->busy) {
                    flight = f.get();
                    break;
                }
            }
            std::size_t length = std::min(transferSize, data.size() - nextOffset);
            libusb_fill_bulk_transfer(flight->transfer, handle_, bulkOut_, const_cast<uint8_t*>(data.data() + nextOffset),
                                      static_cast<int>(length), nullptr, nullptr, 0);
            flight->offset = nextOffset;
            int rc = flight->submit();
            if (rc != 0) {
                stopWith(rc == LIBUSB_ERROR_NO_DEVICE ? WriteStop::Gone : WriteStop::Failed,
                         std::string("submitting a bulk transfer: ") + libusb_strerror(static_cast<libusb_error>(rc)));
                break;
            }
            queue.push_back(flight);
            nextOffset += length;
        }
        result.maxQueued = std::max(result.maxQueued, inFlightCount());

        // Completed bulk OUT transfers, in order.
        while (!queue.empty() && queue.front()->done) {
            Flight* f = queue.front();
            queue.pop_front();
            f->busy = false;
            auto actual = static_cast<std::size_t>(f->transfer->actual_length);
            if (actual > 0 && f->offset != result.accepted) gap = true;
            if (f->offset == result.accepted) result.accepted += actual;
            switch (f->transfer->status) {
            case LIBUSB_TRANSFER_COMPLETED:
                if (actual < static_cast<std::size_t>(f->transfer->length)) stopWith(WriteStop::Failed, "a bulk transfer ended short");
                break;
            case LIBUSB_TRANSFER_CANCELLED: break;  // only when stopping
            case LIBUSB_TRANSFER_STALL: stopWith(WriteStop::Stalled); break;
            case LIBUSB_TRANSFER_NO_DEVICE: stopWith(WriteStop::Gone); break;
            default: stopWith(WriteStop::Failed, "bulk transfer status " + std::to_string(f->transfer->status)); break;
            }
        }

        // The status chain.
        if (statusFlight.busy && statusFlight.done) {
            statusFlight.busy = false;
            libusb_transfer* t = statusFlight.transfer;
            if (t->status == LIBUSB_TRANSFER_NO_DEVICE) {
                stopWith(WriteStop::Gone);
                statusStep = 0;
            } else if (t->status != LIBUSB_TRANSFER_COMPLETED) {
                statusStep = 0;  // a lost poll; the next one comes at the next interval
            } else if (statusStep == 1) {
                polled.portStatus = t->actual_length >= 1 ? statusBuffer[LIBUSB_CONTROL_SETUP_SIZE] : polled.portStatus;
                startStatus(2);
            } else {
                if (t->actual_length >= 1) polled.statusRegister = statusBuffer[LIBUSB_CONTROL_SETUP_SIZE];
                statusStep = 0;
                if (!havePolled || polled != result.lastState) {
                    result.lastState = polled;
                    if (options.onStatus) options.onStatus(polled);
                }
                havePolled = true;
                if (options.stopWhenNotReady && nextOffset > result.accepted) {
                    if (polled.paperEmpty()) stopWith(WriteStop::PaperEmpty);
                    else if (polled.offline() || polled.error()) stopWith(WriteStop::Offline);
                }
            }
        }
        if (!stopping && statusStep == 0 && !statusFlight.busy && std::chrono::steady_clock::now() >= nextPoll &&
            result.accepted < data.size()) {
            nextPoll = std::chrono::steady_clock::now() + options.statusInterval;
            startStatus(1);
        }

        // The back channel.
        if (inFlight.busy && inFlight.done) {
            inFlight.busy = false;
            if (inFlight.transfer->actual_length > 0)
                options.onBackChannel({inBuffer.data(), static_cast<std::size_t>(inFlight.transfer->actual_length)});
            // Only a completed read is repeated: a stalled or failing IN endpoint would complete every
            // resubmission at once and spin this loop for the rest of the write.
            if (inFlight.transfer->status == LIBUSB_TRANSFER_NO_DEVICE) stopWith(WriteStop::Gone);
            else if (!stopping && inFlight.transfer->status == LIBUSB_TRANSFER_COMPLETED) startIn();
        }

        bool allWritten = result.accepted == data.size() && queue.empty();
        if (allWritten || stopping) {
            for (Flight* f : queue) f->cancel();
            statusFlight.cancel();
            inFlight.cancel();
            if (!anythingBusy()) break;
        }

        timeval tv{0, 100 * 1000};
        int rc = libusb_handle_events_timeout_completed(context_.raw(), &tv, nullptr);
        if (rc != 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
            stopWith(WriteStop::Failed, std::string("handling USB events: ") + libusb_strerror(static_cast<libusb_error>(rc)));
            // Event handling that keeps failing will not complete the cancelled transfers either: leave
            // them to libusb (freeing a transfer in flight would be worse than leaking it).
            if (++eventFailures > 100) {
                for (auto& f : pool)
                    if (f->busy) f->transfer = nullptr;
                if (statusFlight.busy) statusFlight.transfer = nullptr;
                if (inFlight.busy) inFlight.transfer = nullptr;
                break;
            }
        }
        if (options.onTick && !stopping) options.onTick();
    }
    if (gap) {
        result.stop = WriteStop::Failed;
        result.message = "bytes moved after a transfer that came back short";
    }
    return result;
}

}  // namespace ostrolink::usb
