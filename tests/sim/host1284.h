// The host side of IEEE 1284 for the tests, written from the signalling events: compatibility strobes,
// negotiation, nibble mode reads and termination. It drives host lines and reads printer lines through a
// Port, so the same host runs against a bare printer or through the cable's registers. It decodes the
// register bits itself rather than trusting the simulator's helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/cable.h"
#include "sim/printer1284.h"

namespace simtest {

class Port {
public:
    virtual ~Port() = default;
    virtual void drive(const sim::HostLines& lines) = 0;
    virtual void data(uint8_t value) = 0;
    virtual sim::PeripheralLines read() = 0;  // one poll
};

// Straight onto the printer's connector.
class DirectPort : public Port {
public:
    explicit DirectPort(sim::Printer1284& p) : p_(p) {}
    void drive(const sim::HostLines& lines) override { p_.setHostLines(lines); }
    void data(uint8_t value) override { p_.setData(value); }
    sim::PeripheralLines read() override { return p_.readLines(); }

private:
    sim::Printer1284& p_;
};

// PC parallel-port register encoding, as the tests know it.
inline uint8_t controlFor(const sim::HostLines& h) {
    uint8_t c = 0x04 * (h.nInit ? 1 : 0);
    if (!h.nStrobe) c |= 0x01;
    if (!h.nAutoFd) c |= 0x02;
    if (!h.nSelectIn) c |= 0x08;
    return c;
}
inline sim::PeripheralLines linesFromStatus(uint8_t s) {
    sim::PeripheralLines l;
    l.nFault = (s & 0x08) != 0;
    l.select = (s & 0x10) != 0;
    l.pError = (s & 0x20) != 0;
    l.nAck = (s & 0x40) != 0;
    l.busy = (s & 0x80) == 0;
    return l;
}

// Through the cable's vendor requests: write register 4, read registers 3.
class CablePort : public Port {
public:
    explicit CablePort(sim::Cable& c) : c_(c) {}
    void drive(const sim::HostLines& lines) override { write(2, controlFor(lines)); }
    void data(uint8_t value) override { write(0, value); }
    sim::PeripheralLines read() override {
        uint8_t snap[7] = {};
        const auto r = c_.control({0xC0, 3, 1, 0, 7}, snap);
        ++reads;
        if (!r.ok() || r.length != 7) throw std::runtime_error("register read failed");
        return linesFromStatus(snap[0]);
    }
    void write(uint8_t reg, uint8_t value) {
        uint8_t none[1];
        const auto r = c_.control({0x40, 4, static_cast<uint16_t>(reg << 8 | value), 0, 0}, std::span(none, 0));
        if (!r.ok()) throw std::runtime_error("register write failed");
    }
    unsigned reads = 0;

private:
    sim::Cable& c_;
};

class Host1284 {
public:
    explicit Host1284(Port& port, unsigned patience = 100) : port_(port), patience_(patience) {
        // Compatibility mode, printer selected.
        lines_.nStrobe = true;
        lines_.nAutoFd = true;
        lines_.nInit = true;
        lines_.nSelectIn = false;
        port_.drive(lines_);
    }

    // Polls until pred holds, at most `patience` reads. Returns the matching lines.
    template <typename Pred>
    std::optional<sim::PeripheralLines> waitFor(Pred pred) {
        for (unsigned i = 0; i < patience_; ++i) {
            const auto l = port_.read();
            ++polls;
            if (pred(l)) return l;
        }
        return std::nullopt;
    }

    void set(bool sim::HostLines::*line, bool level) {
        lines_.*line = level;
        port_.drive(lines_);
    }

    // One byte in compatibility mode with the full Busy/nAck handshake.
    bool sendByte(uint8_t b) {
        if (!waitFor([](const auto& l) { return !l.busy; })) return false;
        port_.data(b);
        set(&sim::HostLines::nStrobe, false);
        if (!waitFor([](const auto& l) { return l.busy; })) return false;
        set(&sim::HostLines::nStrobe, true);
        if (!waitFor([](const auto& l) { return !l.nAck; })) return false;
        return waitFor([](const auto& l) { return l.nAck && !l.busy; }).has_value();
    }

    struct Negotiated {
        bool xflag = false;
        bool dataAvailable = false;
    };
    // Events 0..6. nullopt: the printer did not answer as an IEEE 1284 device.
    std::optional<Negotiated> negotiate(uint8_t request) {
        port_.data(request);  // event 0
        lines_.nSelectIn = true;
        lines_.nAutoFd = false;
        port_.drive(lines_);  // event 1
        if (!waitFor([](const auto& l) { return !l.nAck && l.pError && l.select && l.nFault; })) {
            return std::nullopt;  // event 2 never came
        }
        set(&sim::HostLines::nStrobe, false);  // event 3
        lines_.nStrobe = true;
        lines_.nAutoFd = true;
        port_.drive(lines_);  // event 4
        const auto l = waitFor([](const auto& s) { return s.nAck; });  // event 6
        if (!l) return std::nullopt;
        return Negotiated{l->select, !l->nFault};
    }

    static uint8_t nibbleOf(const sim::PeripheralLines& l) {
        return static_cast<uint8_t>((l.nFault ? 1 : 0) | (l.select ? 2 : 0) | (l.pError ? 4 : 0) | (l.busy ? 8 : 0));
    }

    // Events 7..11 twice. nullopt: no data available or the printer stopped answering.
    std::optional<uint8_t> readByte() {
        const auto before = port_.read();
        if (before.nFault) return std::nullopt;  // nDataAvail high
        uint8_t value = 0;
        for (int half = 0; half < 2; ++half) {
            set(&sim::HostLines::nAutoFd, false);  // event 7
            const auto l = waitFor([](const auto& s) { return !s.nAck; });  // event 9
            if (!l) return std::nullopt;
            value |= static_cast<uint8_t>(nibbleOf(*l) << (4 * half));
            set(&sim::HostLines::nAutoFd, true);  // event 10
            if (!waitFor([](const auto& s) { return s.nAck; })) return std::nullopt;  // event 11
        }
        return value;
    }

    std::vector<uint8_t> readAll(std::size_t limit = 100000) {
        std::vector<uint8_t> out;
        while (out.size() < limit) {
            const auto b = readByte();
            if (!b) break;
            out.push_back(*b);
        }
        return out;
    }

    // Events 22..28. Returns whether the printer acknowledged both steps.
    bool terminate() {
        lines_.nSelectIn = false;
        lines_.nAutoFd = true;
        port_.drive(lines_);  // event 22
        const bool ack1 = waitFor([](const auto& l) { return !l.nAck; }).has_value();  // event 24
        set(&sim::HostLines::nAutoFd, false);  // event 25
        const bool ack2 = waitFor([](const auto& l) { return l.nAck; }).has_value();  // event 27
        set(&sim::HostLines::nAutoFd, true);  // event 28
        return ack1 && ack2;
    }

    // The device ID: negotiation with request 0x04, length, text, termination.
    struct IdRead {
        bool negotiated = false;
        bool xflag = false;
        std::optional<uint16_t> length;
        std::vector<uint8_t> text;
        bool terminated = false;
    };
    IdRead readDeviceId() {
        IdRead r;
        const auto n = negotiate(0x04);
        if (n) {
            r.negotiated = true;
            r.xflag = n->xflag;
            const auto hi = readByte();
            const auto lo = hi ? readByte() : std::nullopt;
            if (hi && lo) {
                r.length = static_cast<uint16_t>(*hi << 8 | *lo);
                if (*r.length > 2) r.text = readAll(*r.length - 2u);
            }
        }
        r.terminated = terminate();
        return r;
    }

    const sim::HostLines& lines() const { return lines_; }
    unsigned polls = 0;

private:
    Port& port_;
    unsigned patience_;
    sim::HostLines lines_;
};

inline std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

}  // namespace simtest
