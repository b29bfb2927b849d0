// The Ostrolink cable at the level of USB transactions: descriptors, control requests on the default
// pipe, the printer-port controller's registers, and the bulk endpoints, with an IEEE 1284 printer
// (sim::Printer1284) plugged into its far end.
//
// The USB stack above calls control(), bulkOut() and bulkIn() one transaction (or one transfer) at a
// time; the cable answers at once. Nothing here waits or looks at a clock: the printer's time is
// counted in polls (see printer1284.h). These calls poll the printer once each:
//   - a register read (vendor request 3) whose range covers the status register 1;
//   - GET_PORT_STATUS;
//   - every bulkOut() call that reaches the printer (the controller looks at Busy before strobing).
// A NAKed transfer can go through later either because something outside changed the cable (a test
// clears paper empty, queues bulk IN data, a halt is cleared), which bumps changes() and calls the
// change handler, or because the printer changes by itself when it is polled (changesByItself()):
// a NAK given while that is so also counts as a change, so a stack that retries only on changes
// keeps polling until the printer is ready (each retry is one poll).
//
// Thread-safe: every public call takes the cable's lock. The change handler is called after the lock
// is released, on the thread that caused the change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/printer1284.h"

namespace sim {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    bool isIn() const { return (bmRequestType & 0x80) != 0; }
    friend bool operator==(const SetupPacket&, const SetupPacket&) = default;
};

enum class ControlStatus { Ack, Stall, Error };
struct ControlResult {
    ControlStatus status = ControlStatus::Ack;
    std::size_t length = 0;  // bytes moved in the data stage
    static ControlResult ack(std::size_t n = 0) { return {ControlStatus::Ack, n}; }
    static ControlResult stall() { return {ControlStatus::Stall, 0}; }
    static ControlResult error() { return {ControlStatus::Error, 0}; }
    bool ok() const { return status == ControlStatus::Ack; }
};

enum class BulkStatus { Ack, Nak, Stall, Error };
struct BulkResult {
    BulkStatus status = BulkStatus::Ack;
    std::size_t length = 0;  // bytes taken (OUT) or delivered (IN)
    bool ok() const { return status == BulkStatus::Ack; }
};

const char* toString(ControlStatus status);
const char* toString(BulkStatus status);

// Standard request codes and descriptor types the cable knows.
namespace usb {
inline constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kSetAddress = 5,
                         kGetDescriptor = 6, kGetConfiguration = 8, kSetConfiguration = 9,
                         kGetInterface = 10, kSetInterface = 11;
inline constexpr uint8_t kDeviceDescriptor = 1, kConfigurationDescriptor = 2, kStringDescriptor = 3,
                         kInterfaceDescriptor = 4, kEndpointDescriptor = 5;
inline constexpr uint16_t kEndpointHalt = 0, kRemoteWakeup = 1;
// Printer class and the cable's vendor requests.
inline constexpr uint8_t kGetPortStatus = 1, kSoftReset = 2;
inline constexpr uint8_t kVendorReadRegisters = 3, kVendorWriteRegister = 4, kVendorEndpointStatus = 0;
}  // namespace usb

struct EndpointConfig {
    uint8_t address = 0x01;     // bit 7: IN
    uint8_t attributes = 0x02;  // 2 bulk, 3 interrupt
    uint16_t maxPacket = 64;
    uint8_t interval = 0;
    bool isIn() const { return (address & 0x80) != 0; }
};

struct AlternateConfig {
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0x07;  // printer
    uint8_t interfaceSubClass = 0x01;
    uint8_t interfaceProtocol = 0x02;  // bidirectional
    std::vector<EndpointConfig> endpoints;
    // Raw descriptors (each starting with its own bLength) put between the interface descriptor and
    // its endpoints, as class-specific descriptors are.
    std::vector<std::vector<uint8_t>> classDescriptors;
};

struct InterfaceConfig {
    uint8_t number = 2;
    std::vector<AlternateConfig> alternates;
};

struct CableConfig {
    uint16_t bcdUSB = 0x0110;
    uint16_t vendorId = 0x0F1B;
    uint16_t productId = 0x1002;
    uint16_t bcdDevice = 0x0100;
    uint8_t maxPacket0 = 64;
    uint8_t configurationValue = 1;
    uint8_t configAttributes = 0x80;  // bus powered; 0x40 self powered, 0x20 remote wakeup
    uint8_t maxPower = 50;            // in 2 mA
    // Interface 2, alternate setting 0: bulk OUT 0x01 and bulk IN 0x81, 64-byte packets.
    std::vector<InterfaceConfig> interfaces = defaultInterfaces();
    // Raw descriptors appended after the last interface (makes a long configuration descriptor).
    std::vector<std::vector<uint8_t>> trailingDescriptors;
    // Strings: empty means no string (index 0 in the device descriptor). If all three are empty the
    // device has no string descriptors at all and every string request stalls.
    std::string manufacturer;
    std::string product;
    std::string serialNumber;

    // Controller register values after power-on. Registers 6, 7 and 8 are only stored: the controller
    // strobes bulk OUT data to the printer whatever they hold.
    uint8_t resetControl = 0x0C;  // nInit high, nSelectIn low: compatibility mode, printer selected
    // Faults.
    bool haltOutOnPaperEmpty = false;  // a bulk OUT meeting paper empty halts the endpoint instead of NAKing
    std::set<std::pair<uint8_t, uint8_t>> stalledRequests;  // (bmRequestType, bRequest) always stalled
    // Seen first by every control transfer: return a result to answer the request yourself
    // (e.g. fail the first write of a register), or nullopt to let the cable answer. Runs under the
    // cable's lock: it must not call the cable.
    std::function<std::optional<ControlResult>(const SetupPacket&)> controlFilter;

    static std::vector<InterfaceConfig> defaultInterfaces();
};

// Descriptor bytes built from a configuration. Throw std::invalid_argument on an inconsistent one
// (duplicate interface, bad raw descriptor length, total length over 65535, ...).
std::vector<uint8_t> buildDeviceDescriptor(const CableConfig& config);
std::vector<uint8_t> buildConfigurationDescriptor(const CableConfig& config);

class Cable {
public:
    // Throws std::invalid_argument for an inconsistent configuration.
    explicit Cable(CableConfig config = {}, PrinterConfig printer = {});

    Cable(const Cable&) = delete;
    Cable& operator=(const Cable&) = delete;

    // One control transfer. For IN requests data receives up to wLength bytes; for OUT requests data
    // holds the wLength bytes of the data stage. A data span shorter than wLength is an Error.
    ControlResult control(const SetupPacket& setup, std::span<uint8_t> data);
    // Bulk transactions; without an endpoint, the first bulk OUT / IN endpoint of the current setting.
    // The data may be one packet or a whole transfer: the cable takes what the printer takes.
    BulkResult bulkOut(uint8_t endpoint, std::span<const uint8_t> data);
    BulkResult bulkOut(std::span<const uint8_t> data);
    BulkResult bulkIn(uint8_t endpoint, std::span<uint8_t> data);
    BulkResult bulkIn(std::span<uint8_t> data);

    // USB bus reset: unconfigured, address 0, alternate settings 0, halts cleared. Registers stay.
    void busReset();

    // Halts (endpoint address with direction bit). Clearing bumps changes().
    void haltEndpoint(uint8_t endpoint);
    void clearHalt(uint8_t endpoint);
    bool halted(uint8_t endpoint) const;

    // Change notification for NAKed transfers.
    void setChangeHandler(std::function<void()> handler);
    uint64_t changes() const;
    bool changesByItself() const;

    // State, for the stack and the tests.
    const std::vector<uint8_t>& deviceDescriptor() const { return deviceDescriptor_; }
    const std::vector<uint8_t>& configurationDescriptor() const { return configDescriptor_; }
    const CableConfig& config() const { return config_; }
    uint8_t address() const;
    uint8_t configuration() const;  // 0: not configured
    std::optional<uint8_t> alternateSetting(uint8_t interfaceNumber) const;
    std::optional<EndpointConfig> endpoint(uint8_t address) const;  // in the current settings
    uint8_t reg(uint8_t index) const;                               // without polling the printer
    unsigned softResets() const;
    std::vector<SetupPacket> controlLog() const;  // every setup packet received, in order
    void clearControlLog();

    // The printer, under the cable's lock (f must not call the cable). Any change that may let a NAKed
    // transfer through bumps changes() and calls the handler.
    template <typename F>
    auto withPrinter(F&& f) {
        Notifier n(*this);
        std::lock_guard lock(mutex_);
        n.arm();
        return std::forward<F>(f)(printer_);
    }
    // Shortcuts under the lock.
    void setPaperEmpty(bool empty);
    void setOffline(bool offline);
    void queueBulkIn(std::span<const uint8_t> bytes);
    std::vector<uint8_t> printed() const;  // everything the printer received, in order
    void savePrinted(const std::filesystem::path& path) const;

private:
    // Bumps the change counter and calls the handler after the lock is gone when `changed` is set, or
    // when the printer's lines, its readiness for data or its back channel moved since arm().
    struct Notifier {
        explicit Notifier(Cable& c) : cable(c) {}
        ~Notifier();
        void arm();  // under the lock
        bool moved() const;  // under the lock
        Cable& cable;
        bool armed = false;
        uint64_t lines = 0;
        bool ready = false;
        std::size_t backlog = 0;
        bool changed = false;
    };
    ControlResult handleControl(const SetupPacket& setup, std::span<uint8_t> data, Notifier& n);
    ControlResult standardRequest(const SetupPacket& setup, std::span<uint8_t> data, Notifier& n);
    ControlResult classRequest(const SetupPacket& setup, std::span<uint8_t> data, Notifier& n);
    ControlResult vendorRequest(const SetupPacket& setup, std::span<uint8_t> data);
    ControlResult getDescriptor(const SetupPacket& setup, std::span<uint8_t> data);
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index) const;
    void writeRegister(uint8_t index, uint8_t value);
    const AlternateConfig* currentAlternate(const InterfaceConfig& itf) const;
    std::optional<EndpointConfig> findEndpoint(uint8_t address) const;
    std::optional<uint8_t> defaultEndpoint(bool in) const;
    void clearHaltsOf(const InterfaceConfig& itf);

    mutable std::mutex mutex_;
    CableConfig config_;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configDescriptor_;
    Printer1284 printer_;
    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    std::vector<uint8_t> alternates_;  // per config_.interfaces entry
    std::set<uint8_t> halted_;
    uint8_t regs_[9] = {};
    unsigned softResets_ = 0;
    uint64_t changes_ = 0;
    std::function<void()> handler_;
    std::vector<SetupPacket> log_;
};

}  // namespace sim
