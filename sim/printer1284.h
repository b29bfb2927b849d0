// An IEEE 1284 printer as seen from the far end of a parallel cable.
//
// The printer knows nothing of USB or registers: it sees the host's control lines (nStrobe, nAutoFd,
// nInit, nSelectIn) and the eight data lines, and answers on its status lines (nAck, Busy, PError,
// Select, nFault). It implements, from the IEEE 1284 signalling definitions:
//   - compatibility mode: a falling nStrobe latches the data lines, Busy rises at once, and after the
//     host releases nStrobe the printer pulses nAck low, drops Busy, and raises nAck again;
//     offline (Select low, nFault low, Busy high), paper empty (PError high as well) and a held nInit
//     (printer reset: Busy high) refuse data;
//   - negotiation (events 0..6): extensibility byte on the data lines, nSelectIn high with nAutoFd low;
//     the printer answers nAck low with PError, Select and nFault high; the host strobes the byte in
//     and releases nStrobe and nAutoFd; the printer sets Select (XFlag), nFault (nDataAvail), PError
//     (follows nDataAvail) and Busy (forward channel busy), then raises nAck. Requests 0x00 (nibble
//     mode) and 0x04 (device ID in nibble mode) are supported. XFlag is low for 0x00 and high for
//     a supported non-zero request, low for an unsupported one (which then waits for termination);
//   - nibble mode reverse transfer (events 7..11 per nibble): HostBusy (nAutoFd) low asks for a
//     nibble, which appears on nFault, Select, PError, Busy (bits 0..3, low nibble first), then nAck
//     falls; HostBusy high makes nAck rise. With the second nibble's nAck rise the lines say whether
//     another byte is ready (nFault and PError low when it is). HostBusy low with no data left enters
//     reverse idle (PError low); data arriving later is not announced (no interrupt phase): the host
//     sees it after raising and lowering HostBusy again. Request 0x04 sends the device ID from its
//     first byte at every negotiation; request 0x00 sends the back channel's queued bytes;
//   - termination: nSelectIn low ends any 1284 mode at once and the printer is back in compatibility
//     mode. With nAutoFd high (event 22) the printer also acknowledges with nAck low and, when the
//     host answers with nAutoFd low (event 25), raises nAck (event 27). A host that never completes
//     that handshake loses nothing: the next compatibility strobe (or controller transfer) is taken.
//     nInit low resets the interface from any mode (compatibility mode, Busy while it is held).
//
// Time. The printer never looks at a clock. Every status read is one "poll" (readStatus(), or
// poll()), and the printer's own edges are counted in polls:
//   - A reaction to a host edge shows after `answerDelayPolls` (N) polls: with N = 0 it is on the
//     lines at once, with N = 3 three reads still see the old lines and the fourth sees the answer.
//   - When the printer has several edges in a row (the nAck pulse, events 5 and 6, events 8 and 9),
//     each edge is seen by at least one read, and the next one waits N more reads after that.
//   - A read returns the lines as they are, then counts the poll (so an edge that becomes due on
//     this poll is seen by the next read).
//   - Busy and offline periods (busyFor, offlineFor, busyPolls) are counted in the same polls.
// A host edge that arrives while earlier answers are still queued is answered after them, in order.
//
// Not thread-safe: the cable serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

// Host-driven lines, as levels (true = electrically high).
struct HostLines {
    bool nStrobe = true;
    bool nAutoFd = true;
    bool nInit = true;
    bool nSelectIn = false;  // low: compatibility mode (printer selected); high: IEEE 1284 active
    friend bool operator==(const HostLines&, const HostLines&) = default;
};

// Printer-driven lines, as levels.
struct PeripheralLines {
    bool nAck = true;
    bool busy = false;
    bool pError = false;
    bool select = true;
    bool nFault = true;
    friend bool operator==(const PeripheralLines&, const PeripheralLines&) = default;
};

// PC parallel-port status register bits.
inline constexpr uint8_t kStatusNFault = 0x08;
inline constexpr uint8_t kStatusSelect = 0x10;
inline constexpr uint8_t kStatusPError = 0x20;
inline constexpr uint8_t kStatusNAck = 0x40;
inline constexpr uint8_t kStatusNotBusy = 0x80;  // set while the Busy line is low

// PC parallel-port control register bits.
inline constexpr uint8_t kControlStrobe = 0x01;    // set: nStrobe driven low
inline constexpr uint8_t kControlAutoFeed = 0x02;  // set: nAutoFd driven low
inline constexpr uint8_t kControlNInit = 0x04;     // set: nInit high
inline constexpr uint8_t kControlSelectIn = 0x08;  // set: nSelectIn driven low

// Status register value for the given lines (bits 0..2 read as 0).
uint8_t encodeStatus(const PeripheralLines& lines);
// Lines that a control register value drives.
HostLines decodeControl(uint8_t control);
// USB printer-class port status byte: 0x08 not error, 0x10 select, 0x20 paper empty.
uint8_t portStatusByte(const PeripheralLines& lines);

// IEEE 1284 device ID as the printer sends it: two-byte big-endian length that counts itself, then text.
std::vector<uint8_t> deviceIdBytes(std::string_view text);

struct PrinterConfig {
    bool attached = true;  // false: nothing on the cable, every status line floats high
    std::string deviceId = "MFG:Hanwell;CMD:PCL,PJL;MDL:LaserPress 6;CLS:PRINTER;DES:Hanwell LaserPress 6;";
    // Bytes sent for a device ID request instead of deviceIdBytes(deviceId): for lengths that lie,
    // odd lengths (0, 1, 2), or none at all.
    std::optional<std::vector<uint8_t>> deviceIdRaw;
    bool supports1284 = true;        // false: negotiation is ignored (an old compatibility-only printer)
    unsigned answerDelayPolls = 0;   // N: polls between a host edge and each printer edge
    // Reverse data stops (nDataAvail high) after this many bytes of a 1284 session, length bytes included.
    std::optional<std::size_t> stopPresentingAfter;
    bool paperEmpty = false;
    bool offline = false;
    unsigned offlinePolls = 0;       // offline for the first N polls after power-on
    unsigned busyPolls = 0;          // busy for the first N polls after power-on
    std::size_t busyEveryBytes = 0;  // after every K bytes received, busy for busyPollsPerBurst polls (0: never)
    unsigned busyPollsPerBurst = 0;
    std::vector<uint8_t> backChannel;  // bytes queued for the host (nibble mode 0x00 and the cable's bulk IN)
    std::filesystem::path capturePath;  // when set, every byte received is also appended to this file
};

enum class PrinterPhase {
    Compatibility,
    NegotiationRequested,  // event 1 seen, waiting for the extensibility byte strobe
    NegotiationLatched,    // byte latched, waiting for nStrobe and nAutoFd to rise
    ReverseHostBusy,       // nibble mode, between bytes (HostBusy high)
    NibbleLow,             // low nibble presented
    NibbleLowDone,         // host took the low nibble
    NibbleHigh,            // high nibble presented
    ReverseIdle,           // HostBusy low, nothing to send
    Refused,               // mode not supported, waiting for termination
};

const char* toString(PrinterPhase phase);

class Printer1284 {
public:
    // Throws std::runtime_error when the capture file cannot be opened, std::invalid_argument when the
    // device ID text is too long for its length field.
    explicit Printer1284(PrinterConfig config = {});
    // Queued edges refer to this object: it stays where it was made.
    Printer1284(const Printer1284&) = delete;
    Printer1284& operator=(const Printer1284&) = delete;

    // --- the cable side ---
    void setHostLines(const HostLines& lines);
    void setData(uint8_t value);
    const HostLines& hostLines() const { return host_; }
    uint8_t data() const { return data_; }

    // One poll: returns the status lines, then lets printer time advance by one poll.
    PeripheralLines readLines();
    uint8_t readStatus() { return encodeStatus(readLines()); }
    // The lines without a poll (for inspection; the printer does not see it).
    PeripheralLines peekLines() const;
    // Lets one poll pass without a read.
    void poll();

    // Compatibility-mode transfer done by a controller in one go (no host edges): true when the
    // printer took the byte. The controller must call readyForData() first or accept a false.
    bool readyForData() const;
    bool acceptByte(uint8_t value);
    // As many bytes as the printer takes before it gets busy; returns how many.
    std::size_t acceptBytes(std::span<const uint8_t> bytes);

    // --- the back channel ---
    void queueBackChannel(std::span<const uint8_t> bytes);
    std::size_t takeBackChannel(std::span<uint8_t> out);  // returns how many bytes were copied
    std::size_t backChannelSize() const { return backChannel_.size(); }

    // --- conditions the tests change ---
    void setPaperEmpty(bool empty);
    void setOffline(bool offline);
    void setOfflineFor(unsigned polls);  // offline now, online again after that many polls
    void setBusyFor(unsigned polls);     // Busy high for that many polls
    void setAnswerDelay(unsigned polls) { config_.answerDelayPolls = polls; }
    void setDeviceId(std::string text);  // throws std::invalid_argument like the constructor
    void setDeviceIdRaw(std::vector<uint8_t> raw);
    bool paperEmpty() const { return config_.paperEmpty; }
    bool offline() const;

    // True while the printer will change its lines by itself if it is polled (queued edges or a timer).
    bool changesByItself() const;
    // Bumped every time the status lines change.
    uint64_t lineChanges() const { return lineChanges_; }

    // --- what happened ---
    const std::vector<uint8_t>& received() const { return received_; }
    // Writes everything received in compatibility mode; throws std::runtime_error with the path on failure.
    void saveReceived(const std::filesystem::path& path) const;
    PrinterPhase phase() const { return phase_; }
    std::optional<uint8_t> lastExtensibilityByte() const { return lastExt_; }
    unsigned negotiations() const { return negotiations_; }      // event 1 answered
    unsigned terminations() const { return terminations_; }      // 1284 modes ended
    unsigned handshakeTerminations() const { return fullTerminations_; }  // event 27 reached
    unsigned lostStrobes() const { return lostStrobes_; }        // strobes while busy, offline or mid-handshake
    std::size_t reverseBytesSent() const { return sessionSent_; }  // in the current or last 1284 session
    uint64_t polls() const { return polls_; }
    const PrinterConfig& config() const { return config_; }

private:
    using Edge = std::function<void()>;
    void schedule(Edge edge);
    void applyFront();
    void tick();
    void flushEdges();
    void setLines(const PeripheralLines& lines);
    void refreshCompat();
    bool ready() const;
    bool forwardBusy() const;
    bool reverseAvailable() const;
    uint8_t takeReverseByte();
    void onHostEdge(const HostLines& before, const HostLines& after);
    void terminate(bool handshake);
    void compatStrobe();
    void compatRelease();
    void record(uint8_t value);
    void flushCapture();
    void startNibbleOrIdle();

    PrinterConfig config_;
    HostLines host_{};
    uint8_t data_ = 0;
    PeripheralLines lines_{};
    PrinterPhase phase_ = PrinterPhase::Compatibility;

    std::deque<Edge> edges_;
    unsigned frontWait_ = 0;
    bool edgeUnseen_ = false;  // an edge was made after the last poll

    // compatibility mode
    bool handshaking_ = false;     // a strobed byte's handshake is decided and not finished
    bool ackPending_ = false;      // waiting for the host to release nStrobe
    bool holdBusy_ = false;        // Busy held high by the handshake
    bool termAckLow_ = false;      // nAck held low by a termination handshake (events 24..27)
    bool termHandshake_ = false;   // waiting for event 25
    unsigned offlineTimer_ = 0;
    unsigned busyTimer_ = 0;
    std::size_t sinceBurst_ = 0;

    // 1284
    uint8_t ext_ = 0;
    std::optional<uint8_t> lastExt_;
    bool xflag_ = false;
    bool idSession_ = false;
    std::vector<uint8_t> idBytes_;
    std::size_t idPos_ = 0;
    std::size_t sessionSent_ = 0;
    uint8_t nibbleByte_ = 0;

    std::deque<uint8_t> backChannel_;
    std::vector<uint8_t> received_;
    std::ofstream capture_;

    unsigned negotiations_ = 0;
    unsigned terminations_ = 0;
    unsigned fullTerminations_ = 0;
    unsigned lostStrobes_ = 0;
    uint64_t polls_ = 0;
    uint64_t lineChanges_ = 0;
};

}  // namespace sim
