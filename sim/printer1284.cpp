#include "sim/printer1284.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace sim {

uint8_t encodeStatus(const PeripheralLines& l) {
    uint8_t s = 0;
    if (l.nFault) s |= kStatusNFault;
    if (l.select) s |= kStatusSelect;
    if (l.pError) s |= kStatusPError;
    if (l.nAck) s |= kStatusNAck;
    if (!l.busy) s |= kStatusNotBusy;
    return s;
}

HostLines decodeControl(uint8_t control) {
    HostLines h;
    h.nStrobe = (control & kControlStrobe) == 0;
    h.nAutoFd = (control & kControlAutoFeed) == 0;
    h.nInit = (control & kControlNInit) != 0;
    h.nSelectIn = (control & kControlSelectIn) == 0;
    return h;
}

uint8_t portStatusByte(const PeripheralLines& l) {
    uint8_t s = 0;
    if (l.nFault) s |= 0x08;
    if (l.select) s |= 0x10;
    if (l.pError) s |= 0x20;
    return s;
}

std::vector<uint8_t> deviceIdBytes(std::string_view text) {
    if (text.size() > 0xFFFF - 2) throw std::invalid_argument("device ID text longer than 65533 bytes");
    const auto total = static_cast<uint16_t>(text.size() + 2);
    std::vector<uint8_t> out;
    out.reserve(total);
    out.push_back(static_cast<uint8_t>(total >> 8));
    out.push_back(static_cast<uint8_t>(total & 0xFF));
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

const char* toString(PrinterPhase phase) {
    switch (phase) {
        case PrinterPhase::Compatibility: return "Compatibility";
        case PrinterPhase::NegotiationRequested: return "NegotiationRequested";
        case PrinterPhase::NegotiationLatched: return "NegotiationLatched";
        case PrinterPhase::ReverseHostBusy: return "ReverseHostBusy";
        case PrinterPhase::NibbleLow: return "NibbleLow";
        case PrinterPhase::NibbleLowDone: return "NibbleLowDone";
        case PrinterPhase::NibbleHigh: return "NibbleHigh";
        case PrinterPhase::ReverseIdle: return "ReverseIdle";
        case PrinterPhase::Refused: return "Refused";
    }
    return "?";
}

namespace {
void checkIdText(const std::string& text) {
    if (text.size() > 0xFFFF - 2) {
        throw std::invalid_argument("device ID text of " + std::to_string(text.size()) +
                                    " bytes does not fit its 16-bit length; give raw bytes instead");
    }
}
}  // namespace

Printer1284::Printer1284(PrinterConfig config) : config_(std::move(config)) {
    if (!config_.deviceIdRaw) checkIdText(config_.deviceId);
    backChannel_.assign(config_.backChannel.begin(), config_.backChannel.end());
    offlineTimer_ = config_.offlinePolls;
    busyTimer_ = config_.busyPolls;
    if (!config_.capturePath.empty()) {
        capture_.open(config_.capturePath, std::ios::binary | std::ios::trunc);
        if (!capture_) {
            throw std::runtime_error("cannot open printer capture file " + config_.capturePath.string());
        }
    }
    if (config_.attached) {
        refreshCompat();
        lines_.nAck = true;
    }
}

// ---- lines and time ----

PeripheralLines Printer1284::peekLines() const {
    if (!config_.attached) return PeripheralLines{true, true, true, true, true};
    return lines_;
}

PeripheralLines Printer1284::readLines() {
    PeripheralLines seen = peekLines();
    tick();
    return seen;
}

void Printer1284::poll() { tick(); }

void Printer1284::setLines(const PeripheralLines& l) {
    if (!(l == lines_)) {
        lines_ = l;
        ++lineChanges_;
    }
}

void Printer1284::tick() {
    ++polls_;
    edgeUnseen_ = false;  // the read that came with this poll has seen every edge made so far
    if (!config_.attached) return;
    bool conditionChanged = false;
    if (offlineTimer_ > 0 && --offlineTimer_ == 0) conditionChanged = true;
    if (busyTimer_ > 0 && --busyTimer_ == 0) conditionChanged = true;
    if (conditionChanged) refreshCompat();
    if (!edges_.empty()) {
        if (frontWait_ > 0) --frontWait_;
        if (frontWait_ == 0) applyFront();
    }
}

void Printer1284::schedule(Edge edge) {
    edges_.push_back(std::move(edge));
    if (edges_.size() == 1) {
        // An edge no read has seen yet keeps the next one back for a read plus N polls.
        frontWait_ = config_.answerDelayPolls + (edgeUnseen_ ? 1 : 0);
        if (frontWait_ == 0) applyFront();
    }
}

void Printer1284::applyFront() {
    Edge e = std::move(edges_.front());
    edges_.pop_front();
    e();
    refreshCompat();
    edgeUnseen_ = true;
    // The next edge of a sequence waits until this one has been read once, then N more polls.
    if (!edges_.empty()) frontWait_ = config_.answerDelayPolls + 1;
}

void Printer1284::flushEdges() {
    while (!edges_.empty()) applyFront();
}

bool Printer1284::changesByItself() const {
    if (!config_.attached) return false;
    return !edges_.empty() || offlineTimer_ > 0 || busyTimer_ > 0;
}

bool Printer1284::offline() const { return config_.offline || offlineTimer_ > 0; }

bool Printer1284::forwardBusy() const {
    return offline() || config_.paperEmpty || busyTimer_ > 0 || !host_.nInit;
}

bool Printer1284::ready() const { return !forwardBusy(); }

// In compatibility mode Busy, Select, PError and nFault follow the printer's condition; nAck is
// driven by the handshakes only.
void Printer1284::refreshCompat() {
    if (!config_.attached || phase_ != PrinterPhase::Compatibility) return;
    PeripheralLines l = lines_;
    const bool fault = offline() || config_.paperEmpty;
    l.busy = holdBusy_ || forwardBusy();
    l.select = !fault;
    l.pError = config_.paperEmpty;
    l.nFault = !fault;
    if (termAckLow_) l.nAck = false;
    setLines(l);
}

// ---- host edges ----

void Printer1284::setData(uint8_t value) { data_ = value; }

void Printer1284::setHostLines(const HostLines& lines) {
    const HostLines before = host_;
    host_ = lines;
    if (!config_.attached || before == lines) return;
    onHostEdge(before, lines);
}

void Printer1284::onHostEdge(const HostLines& b, const HostLines& a) {
    // nInit low resets the interface whatever the mode; the printer stays busy while it is held.
    if (!a.nInit) {
        if (b.nInit) {
            edges_.clear();
            if (phase_ != PrinterPhase::Compatibility) ++terminations_;
            phase_ = PrinterPhase::Compatibility;
            handshaking_ = ackPending_ = holdBusy_ = termAckLow_ = termHandshake_ = false;
            PeripheralLines l = lines_;
            l.nAck = true;
            setLines(l);
            refreshCompat();
        }
        return;
    }
    if (!b.nInit) {
        refreshCompat();
        return;
    }

    const bool strobeFell = b.nStrobe && !a.nStrobe;
    const bool strobeRose = !b.nStrobe && a.nStrobe;
    const bool autoFell = b.nAutoFd && !a.nAutoFd;
    const bool autoRose = !b.nAutoFd && a.nAutoFd;

    if (phase_ != PrinterPhase::Compatibility && !a.nSelectIn) {
        // nSelectIn low ends the mode; with HostBusy high it is event 22 and the printer acknowledges.
        terminate(a.nAutoFd);
        return;
    }

    switch (phase_) {
        case PrinterPhase::Compatibility: {
            const bool requestNow = a.nSelectIn && !a.nAutoFd;
            const bool requestBefore = b.nSelectIn && !b.nAutoFd;
            if (requestNow && !requestBefore && config_.supports1284) {
                // Event 1 -> event 2.
                flushEdges();
                termAckLow_ = termHandshake_ = false;
                handshaking_ = ackPending_ = holdBusy_ = false;
                phase_ = PrinterPhase::NegotiationRequested;
                ++negotiations_;
                schedule([this] {
                    PeripheralLines l = lines_;
                    l.nAck = false;
                    l.pError = true;
                    l.select = true;
                    l.nFault = true;
                    setLines(l);
                });
                return;
            }
            if (termHandshake_ && autoFell) {
                // Event 25 -> events 26, 27.
                termHandshake_ = false;
                schedule([this] {
                    termAckLow_ = false;
                    PeripheralLines l = lines_;
                    l.nAck = true;
                    setLines(l);
                    ++fullTerminations_;
                });
                return;
            }
            if (strobeFell) compatStrobe();
            if (strobeRose) compatRelease();
            return;
        }
        case PrinterPhase::NegotiationRequested:
            if (strobeFell) {
                ext_ = data_;  // event 3
                lastExt_ = ext_;
                phase_ = PrinterPhase::NegotiationLatched;
            } else if (autoRose) {
                // The host gave up before strobing: back to compatibility mode.
                edges_.clear();
                phase_ = PrinterPhase::Compatibility;
                ++terminations_;
                schedule([this] {
                    PeripheralLines l = lines_;
                    l.nAck = true;
                    setLines(l);
                });
            }
            return;
        case PrinterPhase::NegotiationLatched:
            if (a.nStrobe && a.nAutoFd) {
                // Event 4 -> events 5 and 6.
                const bool nibble = ext_ == 0x00;
                const bool deviceId = ext_ == 0x04;
                const bool supported = nibble || deviceId;
                xflag_ = deviceId;  // nibble mode answers with XFlag low; others high when supported
                sessionSent_ = 0;
                idSession_ = deviceId;
                if (deviceId) {
                    idBytes_ = config_.deviceIdRaw ? *config_.deviceIdRaw : deviceIdBytes(config_.deviceId);
                    idPos_ = 0;
                }
                phase_ = supported ? PrinterPhase::ReverseHostBusy : PrinterPhase::Refused;
                schedule([this, supported] {
                    PeripheralLines l = lines_;
                    const bool avail = supported && reverseAvailable();
                    l.select = xflag_;
                    l.nFault = !avail;
                    l.pError = !avail;
                    l.busy = forwardBusy();
                    setLines(l);
                });
                schedule([this] {
                    PeripheralLines l = lines_;
                    l.nAck = true;
                    setLines(l);
                });
            }
            return;
        case PrinterPhase::ReverseHostBusy:
            if (autoFell) startNibbleOrIdle();  // event 7
            return;
        case PrinterPhase::NibbleLow:
            if (autoRose) {  // event 10 -> 11
                phase_ = PrinterPhase::NibbleLowDone;
                schedule([this] {
                    PeripheralLines l = lines_;
                    l.nAck = true;
                    setLines(l);
                });
            }
            return;
        case PrinterPhase::NibbleLowDone:
            if (autoFell) {  // event 7 for the high nibble -> 8, 9
                phase_ = PrinterPhase::NibbleHigh;
                const uint8_t nib = static_cast<uint8_t>(nibbleByte_ >> 4);
                schedule([this, nib] {
                    PeripheralLines l = lines_;
                    l.nFault = (nib & 1) != 0;
                    l.select = (nib & 2) != 0;
                    l.pError = (nib & 4) != 0;
                    l.busy = (nib & 8) != 0;
                    setLines(l);
                });
                schedule([this] {
                    PeripheralLines l = lines_;
                    l.nAck = false;
                    setLines(l);
                });
            }
            return;
        case PrinterPhase::NibbleHigh:
            if (autoRose) {  // event 10 -> 11, with the lines telling whether more data is ready
                phase_ = PrinterPhase::ReverseHostBusy;
                schedule([this] {
                    PeripheralLines l = lines_;
                    const bool avail = reverseAvailable();
                    l.nAck = true;
                    l.nFault = !avail;
                    l.pError = !avail;
                    l.select = xflag_;
                    l.busy = forwardBusy();
                    setLines(l);
                });
            }
            return;
        case PrinterPhase::ReverseIdle:
            if (autoRose) {
                phase_ = PrinterPhase::ReverseHostBusy;
                schedule([this] {
                    PeripheralLines l = lines_;
                    const bool avail = reverseAvailable();
                    l.nFault = !avail;
                    l.pError = !avail;
                    setLines(l);
                });
            }
            return;
        case PrinterPhase::Refused:
            return;
    }
}

void Printer1284::startNibbleOrIdle() {
    if (!reverseAvailable()) {
        // Event 18 with no data -> reverse idle (event 19: AckDataReq low).
        phase_ = PrinterPhase::ReverseIdle;
        schedule([this] {
            PeripheralLines l = lines_;
            l.pError = false;
            setLines(l);
        });
        return;
    }
    nibbleByte_ = takeReverseByte();
    phase_ = PrinterPhase::NibbleLow;
    const uint8_t nib = nibbleByte_ & 0x0F;
    schedule([this, nib] {  // event 8
        PeripheralLines l = lines_;
        l.nFault = (nib & 1) != 0;
        l.select = (nib & 2) != 0;
        l.pError = (nib & 4) != 0;
        l.busy = (nib & 8) != 0;
        setLines(l);
    });
    schedule([this] {  // event 9
        PeripheralLines l = lines_;
        l.nAck = false;
        setLines(l);
    });
}

bool Printer1284::reverseAvailable() const {
    if (config_.stopPresentingAfter && sessionSent_ >= *config_.stopPresentingAfter) return false;
    if (idSession_) return idPos_ < idBytes_.size();
    return !backChannel_.empty();
}

uint8_t Printer1284::takeReverseByte() {
    ++sessionSent_;
    if (idSession_) return idBytes_[idPos_++];
    const uint8_t v = backChannel_.front();
    backChannel_.pop_front();
    return v;
}

void Printer1284::terminate(bool handshake) {
    // Whatever the printer was still about to show belongs to the mode that just ended.
    edges_.clear();
    phase_ = PrinterPhase::Compatibility;
    idSession_ = false;
    ++terminations_;
    handshaking_ = ackPending_ = holdBusy_ = false;
    if (handshake) {
        // Events 23, 24: compatibility status, nAck low until the host answers with event 25.
        termHandshake_ = true;
        schedule([this] {
            termAckLow_ = true;
            refreshCompat();
        });
    } else {
        termHandshake_ = false;
        schedule([this] {
            termAckLow_ = false;
            PeripheralLines l = lines_;
            l.nAck = true;
            setLines(l);
        });
    }
}

void Printer1284::compatStrobe() {
    if (handshaking_ || !ready()) {
        ++lostStrobes_;
        return;
    }
    // A strobe also answers a termination handshake the host left unfinished.
    termHandshake_ = false;
    record(data_);
    flushCapture();
    handshaking_ = true;
    ackPending_ = true;
    schedule([this] {
        holdBusy_ = true;
        refreshCompat();
    });
    // Host already released nStrobe before our Busy showed? compatRelease handles the order.
}

void Printer1284::compatRelease() {
    if (!ackPending_) return;
    ackPending_ = false;
    schedule([this] {
        termAckLow_ = false;
        PeripheralLines l = lines_;
        l.nAck = false;
        setLines(l);
    });
    schedule([this] {
        holdBusy_ = false;
        handshaking_ = false;
        refreshCompat();
    });
    schedule([this] {
        PeripheralLines l = lines_;
        l.nAck = true;
        setLines(l);
    });
}

bool Printer1284::readyForData() const {
    return config_.attached && phase_ == PrinterPhase::Compatibility && !handshaking_ && edges_.empty() &&
           ready();
}

bool Printer1284::acceptByte(uint8_t value) {
    if (!readyForData()) {
        if (config_.attached) ++lostStrobes_;
        return false;
    }
    return acceptBytes(std::span(&value, 1)) == 1;
}

std::size_t Printer1284::acceptBytes(std::span<const uint8_t> bytes) {
    std::size_t taken = 0;
    while (taken < bytes.size() && readyForData()) {
        if (termAckLow_ || termHandshake_) {
            // The strobe answers a termination handshake the host left unfinished.
            termAckLow_ = termHandshake_ = false;
            PeripheralLines l = lines_;
            l.nAck = true;
            setLines(l);
        }
        record(bytes[taken++]);
    }
    flushCapture();
    return taken;
}

void Printer1284::flushCapture() {
    if (capture_.is_open()) capture_.flush();
}

void Printer1284::record(uint8_t value) {
    received_.push_back(value);
    if (capture_.is_open()) capture_.put(static_cast<char>(value));
    if (config_.busyEveryBytes > 0 && ++sinceBurst_ >= config_.busyEveryBytes) {
        sinceBurst_ = 0;
        if (config_.busyPollsPerBurst > 0) {
            busyTimer_ = std::max(busyTimer_, config_.busyPollsPerBurst);
            refreshCompat();
        }
    }
}

// ---- back channel and conditions ----

void Printer1284::queueBackChannel(std::span<const uint8_t> bytes) {
    backChannel_.insert(backChannel_.end(), bytes.begin(), bytes.end());
}

std::size_t Printer1284::takeBackChannel(std::span<uint8_t> out) {
    const std::size_t n = std::min(out.size(), backChannel_.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = backChannel_.front();
        backChannel_.pop_front();
    }
    return n;
}

void Printer1284::setPaperEmpty(bool empty) {
    config_.paperEmpty = empty;
    refreshCompat();
}

void Printer1284::setOffline(bool off) {
    config_.offline = off;
    if (!off) offlineTimer_ = 0;
    refreshCompat();
}

void Printer1284::setOfflineFor(unsigned polls) {
    offlineTimer_ = polls;
    refreshCompat();
}

void Printer1284::setBusyFor(unsigned polls) {
    busyTimer_ = polls;
    refreshCompat();
}

void Printer1284::setDeviceId(std::string text) {
    checkIdText(text);
    config_.deviceId = std::move(text);
    config_.deviceIdRaw.reset();
}

void Printer1284::setDeviceIdRaw(std::vector<uint8_t> raw) { config_.deviceIdRaw = std::move(raw); }

void Printer1284::saveReceived(const std::filesystem::path& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path.string());
    out.write(reinterpret_cast<const char*>(received_.data()), static_cast<std::streamsize>(received_.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace sim
