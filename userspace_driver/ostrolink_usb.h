// The Ostrolink cable (USB 0F1B:1002) from user space on libusb-1.0: finding cables, opening one, the
// printer-port controller's requests exactly as oslnk.sys sends them, the IEEE 1284 nibble-mode device-ID
// exchange, pipe recovery, and printing with several bulk transfers queued.
//
// Errors are reported by throwing ostrolink::usb::Error (a std::runtime_error with a kind and libusb's
// error code). A Cable is used from one thread at a time; Cable::write() runs libusb's event handling in
// the calling thread and calls the caller's callbacks there.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct libusb_context;
struct libusb_device_handle;

namespace ostrolink::usb {

inline constexpr uint16_t kVendorId = 0x0F1B;
inline constexpr uint16_t kProductId = 0x1002;
// The interface and alternate setting the Windows driver selects by default (its IFSetting/AltSetting).
inline constexpr uint8_t kDefaultInterface = 2;
inline constexpr uint8_t kDefaultAlternateSetting = 0;
// The Windows driver reads the device ID into a 1024-byte buffer.
inline constexpr std::size_t kDeviceIdBufferSize = 1024;

enum class ErrorKind {
    NotFound,     // no cable matches (or none is plugged in)
    Gone,         // the cable was unplugged
    Access,       // no permission to open the device node
    Busy,         // another program holds the interface
    Timeout,      // a control request did not finish in time
    Stall,        // the device stalled the request
    Protocol,     // the device answered with something unusable (short data, bad descriptors)
    InvalidArgument,
    Io,           // any other USB failure
};
const char* toString(ErrorKind kind);

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string& what, int libusbCode = 0);
    ErrorKind kind() const { return kind_; }
    int libusbCode() const { return code_; }

private:
    ErrorKind kind_;
    int code_;
};

// One cable as found on the bus.
struct CableInfo {
    uint8_t bus = 0;
    uint8_t address = 0;
    std::string location;      // "BUS-PORT[.PORT...]" as sysfs names it, e.g. "1-2.4"; "BUS:ADDR" without ports
    std::string serialNumber;  // empty when the cable has none or it could not be read
    std::string manufacturer;
    std::string product;
};

// Which cable to open: by serial number, by location ("1-2.4" or "001:005"), or the only one plugged in.
struct CableSelector {
    std::string serialNumber;
    std::string location;
    static CableSelector any() { return {}; }
    static CableSelector bySerial(std::string serial) { return {std::move(serial), {}}; }
    static CableSelector byLocation(std::string location) { return {{}, std::move(location)}; }
};

// The libusb context. Owns it; every Cable opened from it must be destroyed before it.
class Context {
public:
    Context();  // throws Error
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Every 0F1B:1002 on every bus, in bus and address order. Strings are read where the device can be
    // opened; a cable that cannot be opened is still listed (with empty strings).
    std::vector<CableInfo> listCables();
    libusb_context* raw() const { return ctx_; }

private:
    libusb_context* ctx_ = nullptr;
};

struct OpenOptions {
    uint8_t interfaceNumber = kDefaultInterface;
    uint8_t alternateSetting = kDefaultAlternateSetting;
    // Detach a kernel driver (usblp) that holds the interface, and give it back on close.
    bool detachKernelDriver = true;
};

// The 7 bytes of vendor request 3: registers 1..7. Byte 0 is the status register, byte 1 control.
using RegisterSnapshot = std::array<uint8_t, 7>;

// The printer's state in words, from the printer-class port status byte and the status register.
struct PrinterState {
    uint8_t portStatus = 0;      // GET_PORT_STATUS byte as sent: 0x08 not error, 0x10 select, 0x20 paper empty
    uint8_t statusRegister = 0;  // register 1; 0x80 set while Busy is low
    bool paperEmpty() const { return (portStatus & 0x20) != 0; }
    bool offline() const { return (portStatus & 0x10) == 0; }
    bool error() const { return (portStatus & 0x08) == 0; }
    bool busy() const { return (statusRegister & 0x80) == 0; }
    bool ready() const { return !paperEmpty() && !offline() && !error(); }
    // "ready", or the conditions joined by ", ": "paper empty, offline, error, busy".
    std::string words() const;
    friend bool operator==(const PrinterState&, const PrinterState&) = default;
};

// Result of the device-ID exchange.
struct DeviceId {
    bool valid = false;        // a non-zero length was read (the Windows driver's success)
    uint16_t declaredLength = 0;  // the length field as the printer sent it (counts its own 2 bytes)
    std::string text;          // the ID bytes read, at most the buffer size, as bytes (not NUL-terminated)
    bool truncated = false;    // the printer sent more than the buffer holds, or stopped early
};

// Fields of an IEEE 1284 device ID ("KEY:value;" pairs). Keys are matched as the standard's long and
// short forms (MANUFACTURER/MFG, MODEL/MDL, COMMAND SET/CMD, DESCRIPTION/DES).
struct DeviceIdFields {
    std::string manufacturer;
    std::string model;
    std::string commandSet;
    std::string description;
    std::string printerClass;  // CLASS/CLS
};
DeviceIdFields parseDeviceId(std::string_view id);

// Why a write() returned.
enum class WriteStop {
    Done,         // every byte accepted
    PaperEmpty,   // the printer reported paper empty
    Offline,      // the printer reported offline (or an error)
    Stalled,      // the bulk OUT endpoint stalled; recoverPipes() before going on
    Cancelled,    // WriteOptions::stop was set
    Gone,         // the cable was unplugged
    Failed,       // another USB failure
};
const char* toString(WriteStop stop);

struct WriteResult {
    // Bytes the printer accepted, exactly: data[0, accepted) went out, data[accepted, end) did not.
    std::size_t accepted = 0;
    WriteStop stop = WriteStop::Done;
    PrinterState lastState;        // the last status poll (zero when none was made)
    unsigned maxQueued = 0;        // most bulk OUT transfers in flight at once
    std::string message;           // for Failed: what went wrong
};

struct WriteOptions {
    std::size_t transferSize = 16 * 1024;  // bytes per bulk transfer
    unsigned queueDepth = 4;               // bulk transfers kept in flight (at least 2 are used)
    // How often the port status is polled while data is being written (also while a transfer waits).
    std::chrono::milliseconds statusInterval{500};
    // Stop on paper empty / offline as soon as a status poll shows it; with false only report it.
    bool stopWhenNotReady = true;
    // Called after every status poll whose result differs from the previous one (and after the first).
    std::function<void(const PrinterState&)> onStatus;
    // When set, a bulk IN transfer is kept queued (until one fails) and what the printer sends comes here.
    std::function<void(std::span<const uint8_t>)> onBackChannel;
    // Called at least every 100 ms from the writing thread; it may make control requests on the cable
    // (portStatus, state, readRegisters) but must not call write(). readDeviceId() here would run the
    // nibble-mode exchange on the printer's lines between data bytes (the Windows driver's control request
    // would too): read the ID before writing and keep it.
    std::function<void()> onTick;
    // Set from anywhere (e.g. a signal handler) to cancel: in-flight transfers are cancelled and the
    // result counts what the printer took.
    const std::atomic<bool>* stop = nullptr;
};

class Cable {
public:
    // Opens the selected cable, sets its configuration if the device is unconfigured, detaches a kernel
    // driver, claims the interface, selects the alternate setting and sets the port registers up for
    // printing (initPortRegisters, as the Windows driver does at start). Throws Error: NotFound when no cable
    // matches (or CableSelector::any() finds several: the message lists them), Access, Busy, Gone.
    Cable(Context& context, const CableSelector& selector, const OpenOptions& options = {});
    ~Cable();  // releases the interface and re-attaches the kernel driver it detached
    Cable(const Cable&) = delete;
    Cable& operator=(const Cable&) = delete;

    const CableInfo& info() const { return info_; }
    uint8_t bulkOutEndpoint() const { return bulkOut_; }
    uint8_t bulkInEndpoint() const { return bulkIn_; }  // 0 when the interface has none

    // --- the controller's requests, as the Windows driver sends them ---
    RegisterSnapshot readRegisters();                    // vendor 3: 0xC0, wValue 1, wLength 7
    void writeRegister(uint8_t reg, uint8_t value);      // vendor 4: 0x40, wValue reg*256+value
    uint8_t portStatus();                                // GET_PORT_STATUS: 0xA1, wIndex 0, wLength 1
    void softReset();                                    // SOFT_RESET: 0x23 (recipient other), wIndex 0
    // The IEEE 1284 nibble-mode device-ID exchange followed by the register set-up, request for request
    // as the Windows driver's IOCTL_KVUSB_GET_DEVICE_ID. Handshake time-outs are not errors (valid=false).
    // Only an unplugged cable throws (Gone): another failed request inside the exchange counts as it does
    // for the Windows driver (a read gives a zero snapshot, a write is not checked).
    DeviceId readDeviceId(std::size_t bufferSize = kDeviceIdBufferSize);
    void initPortRegisters();                            // registers 7, 6, 2, 8 with 2 ms between
    uint16_t endpointStatus(uint8_t endpoint);           // vendor endpoint 0: 0xC2, wIndex ep, wLength 2
    // The Windows driver's recovery: the write pipe's endpoint status, then CLEAR_FEATURE(ENDPOINT_HALT)
    // on the write pipe and the read pipe (usbfs also resets the host's data toggle). Call it after write()
    // returned Stalled; it expects no transfer in flight.
    void recoverPipes();
    // Port status and status register together.
    PrinterState state();

    // --- data ---
    // Writes data with WriteOptions::queueDepth bulk transfers in flight; returns when all was accepted or
    // a stop condition arose (see WriteResult). Does not throw for USB failures during the transfer.
    WriteResult write(std::span<const uint8_t> data, const WriteOptions& options = {});
    // One bulk IN read of the printer's back channel; returns the bytes read (empty on time-out).
    std::vector<uint8_t> readBackChannel(std::size_t maxBytes, std::chrono::milliseconds timeout);

    libusb_device_handle* raw() const { return handle_; }

private:
    int control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                uint16_t length, const char* what);
    bool waitForStatus(RegisterSnapshot& snapshot, uint8_t mask, uint8_t value);
    bool readNibbleByte(uint8_t& byte);

    Context& context_;
    libusb_device_handle* handle_ = nullptr;
    CableInfo info_;
    OpenOptions options_;
    uint8_t bulkOut_ = 0;
    uint8_t bulkIn_ = 0;
    bool claimed_ = false;
    bool reattach_ = false;
};

}  // namespace ostrolink::usb
