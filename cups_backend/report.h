// What the backend tells CUPS about a cable, as text: the device URI, the discovery line that lpinfo and
// the printer-adding dialogs read, and the checks of the job's arguments. No USB and no libcups here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ostrolink::cups_backend {

inline constexpr std::string_view kScheme = "ostrolink";

// cups-deviced reads each discovery line with cupsFileGets() into a 2048-byte buffer (scheduler/cups-deviced.c,
// get_device): 2047 characters, the newline among them; a longer line is split and both halves are dropped as
// "bad line".
inline constexpr std::size_t kMaxDiscoveryLine = 2046;  // without the newline
// cupsd gives a backend its URI as "DEVICE_URI=..." in a 1024-byte buffer (scheduler/job.c), so 1012 bytes of
// it survive; a cut URI would lose the ?serial= that names the cable. 1000 also leaves the discovery line room
// for its other fields at their longest.
inline constexpr std::size_t kMaxDeviceUri = 1000;
inline constexpr std::size_t kMaxNameField = 255;  // make, model (before percent-encoding), make-and-model, info

// A device ID (or any printer-supplied text) made safe for CUPS: control characters become '?', valid
// UTF-8 stays, every other byte >= 0x80 is read as Latin-1 and re-encoded, so the result is valid UTF-8 and
// no byte of the printer's text is lost without a mark.
std::string printableText(std::string_view raw);

// A device ID cut short (by the reader's buffer or a printer that stopped) up to its last complete
// "KEY:value;" pair: a driver matched on half a value would be the wrong one.
std::string_view wholePairs(std::string_view id);

// Backslash before '"' and '\', as cups-deviced unescapes inside a quoted field.
std::string quoteField(std::string_view text);

// "Make Model", the model alone when it already begins with the make, "Unknown" when both are empty.
std::string makeAndModel(std::string_view make, std::string_view model);

// Which cable a device URI names: by USB serial number, or by bus location when the cable has none.
struct CableRef {
    std::string make;
    std::string model;
    std::string serial;
    std::string location;
};

// ostrolink://MAKE/MODEL?serial=S (or ?location=L): make and model as printableText() gives them, percent-encoded,
// "Unknown" when empty, and cut so that the URI stays within kMaxDeviceUri.
std::string deviceUri(const CableRef& ref);
// Parses a device URI; on failure returns nullopt and says why in `error`.
std::optional<CableRef> parseDeviceUri(std::string_view uri, std::string& error);

struct DiscoveredPrinter {
    CableRef ref;          // make and model as the device ID names them (raw)
    std::string deviceId;  // as read from the printer (raw bytes)
    std::string info;      // device-info, raw
};
struct DiscoveryLine {
    std::string text;          // without the newline
    std::size_t idCutAt = 0;   // printable device-ID bytes kept (== full length when nothing was cut)
    bool idCut = false;
};
// `direct URI "make-and-model" "info" "device-id"`; the device ID is cut after its last complete
// "KEY:value;" pair that keeps the line within kMaxDiscoveryLine.
DiscoveryLine discoveryLine(const DiscoveredPrinter& printer);

// The job's copies argument: a decimal number 1..9999 (cupsd's MaxCopies default), nothing else.
std::optional<int> parseCopies(std::string_view text, std::string& error);

}  // namespace ostrolink::cups_backend
