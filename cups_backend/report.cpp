#include "cups_backend/report.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace ostrolink::cups_backend {
namespace {

// Length of the valid UTF-8 sequence starting at s[i] (2..4 bytes), or 0: overlong forms, surrogates and
// values above U+10FFFF are not valid.
std::size_t utf8SequenceAt(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t lead = b(i);
    std::size_t n = 0;
    uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) { n = 2; cp = lead & 0x1F; }
    else if (lead >= 0xE0 && lead <= 0xEF) { n = 3; cp = lead & 0x0F; }
    else if (lead >= 0xF0 && lead <= 0xF4) { n = 4; cp = lead & 0x07; }
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// At most n bytes of valid UTF-8, never ending inside a sequence.
std::string_view cutUtf8(std::string_view s, std::size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && (static_cast<uint8_t>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool unreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// At most `budget` bytes of encoding, never ending inside a UTF-8 sequence of `s`.
std::string percentEncode(std::string_view s, std::size_t budget = std::string::npos) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = 1;
        while (i + n < s.size() && (static_cast<uint8_t>(s[i + n]) & 0xC0) == 0x80) ++n;
        std::string encoded;
        for (unsigned char c : s.substr(i, n)) {
            if (unreserved(c)) {
                encoded += static_cast<char>(c);
            } else {
                encoded += '%';
                encoded += hex[c >> 4];
                encoded += hex[c & 15];
            }
        }
        if (encoded.size() > budget - std::min(budget, out.size())) break;
        out += encoded;
        i += n;
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
            return std::nullopt;
        const int value = std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16);
        if (value == 0) return std::nullopt;
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

}  // namespace

std::string printableText(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        const auto c = static_cast<uint8_t>(raw[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '?';
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (std::size_t n = utf8SequenceAt(raw, i); n != 0) {
            out.append(raw.substr(i, n));
            i += n;
        } else if (c < 0xA0) {  // a C1 control character in Latin-1
            out += '?';
            ++i;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

std::string_view wholePairs(std::string_view id) {
    const std::size_t end = id.rfind(';');
    return end == std::string_view::npos ? std::string_view{} : id.substr(0, end + 1);
}

std::string quoteField(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string makeAndModel(std::string_view make, std::string_view model) {
    make = trim(make);
    model = trim(model);
    if (make.empty() && model.empty()) return "Unknown";
    if (model.empty()) return std::string(make);
    if (make.empty()) return std::string(model);
    const bool modelNamesMake =
        model.size() >= make.size() &&
        std::equal(make.begin(), make.end(), model.begin(),
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                               std::tolower(static_cast<unsigned char>(b)); }) &&
        (model.size() == make.size() || model[make.size()] == ' ');
    if (modelNamesMake) return std::string(model);
    return std::string(make) + " " + std::string(model);
}

std::string deviceUri(const CableRef& ref) {
    // As the make-and-model field shows them: a NUL or control byte from the printer would make a URI
    // that parseDeviceUri() refuses, and the queue made from it could never print.
    const auto part = [](std::string_view s, std::size_t budget) {
        const std::string encoded = percentEncode(cutUtf8(printableText(trim(s)), kMaxNameField), budget);
        return encoded.empty() ? std::string("Unknown") : encoded;
    };
    // The query alone names the cable: it stays whole, and make and model share the room that is left.
    const std::string query = ref.serial.empty() ? "?location=" + percentEncode(ref.location)
                                                 : "?serial=" + percentEncode(ref.serial);
    const std::string scheme = std::string(kScheme) + "://";
    const std::size_t room = kMaxDeviceUri - std::min(kMaxDeviceUri, scheme.size() + 1 + query.size());
    const std::string make = part(ref.make, room / 2);
    return scheme + make + "/" + part(ref.model, room - std::min(room, make.size())) + query;
}

std::optional<CableRef> parseDeviceUri(std::string_view uri, std::string& error) {
    const std::string prefix = std::string(kScheme) + "://";
    if (uri.substr(0, prefix.size()) != prefix) {
        error = "the device URI \"" + printableText(uri) + "\" does not begin with " + prefix;
        return std::nullopt;
    }
    std::string_view rest = uri.substr(prefix.size());
    const std::size_t query = rest.find('?');
    const std::string_view path = rest.substr(0, query);
    const std::size_t slash = path.find('/');
    CableRef ref;
    const auto decoded = [&](std::string_view s, std::string& into, const char* what) {
        auto d = percentDecode(s);
        if (!d) {
            error = std::string("the device URI's ") + what + " has a bad %-escape or a NUL: \"" +
                    printableText(s) + "\"";
            return false;
        }
        into = std::move(*d);
        return true;
    };
    if (!decoded(path.substr(0, slash), ref.make, "make") ||
        (slash != std::string_view::npos && !decoded(path.substr(slash + 1), ref.model, "model")))
        return std::nullopt;
    std::string_view params = query == std::string_view::npos ? std::string_view{} : rest.substr(query + 1);
    while (!params.empty()) {
        const std::size_t amp = params.find('&');
        const std::string_view param = params.substr(0, amp);
        params = amp == std::string_view::npos ? std::string_view{} : params.substr(amp + 1);
        const std::size_t eq = param.find('=');
        const std::string_view key = param.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view{} : param.substr(eq + 1);
        std::string* into = key == "serial" ? &ref.serial : key == "location" ? &ref.location : nullptr;
        if (!into) {
            error = "the device URI has an unknown option \"" + printableText(param) +
                    "\" (known: serial=, location=)";
            return std::nullopt;
        }
        if (!decoded(value, *into, key == "serial" ? "serial number" : "location")) return std::nullopt;
    }
    if (ref.serial.empty() && ref.location.empty()) {
        error = "the device URI \"" + printableText(uri) + "\" names no cable (it needs ?serial= or ?location=)";
        return std::nullopt;
    }
    return ref;
}

DiscoveryLine discoveryLine(const DiscoveredPrinter& printer) {
    const std::string mm = quoteField(cutUtf8(printableText(makeAndModel(printer.ref.make, printer.ref.model)),
                                              kMaxNameField));
    const std::string info = quoteField(cutUtf8(printableText(printer.info), kMaxNameField));
    const std::string head = "direct " + deviceUri(printer.ref) + " \"" + mm + "\" \"" + info + "\" \"";
    const std::string id = printableText(printer.deviceId);
    DiscoveryLine line;
    std::string quoted = quoteField(id);
    line.idCutAt = id.size();
    if (head.size() + quoted.size() + 1 > kMaxDiscoveryLine) {
        // Keep whole "KEY:value;" pairs only: a driver matched on a half value would be the wrong one.
        const std::size_t budget = kMaxDiscoveryLine - std::min(kMaxDiscoveryLine, head.size() + 1);
        std::size_t keep = 0, quotedLength = 0;
        for (std::size_t i = 0; i < id.size(); ++i) {
            quotedLength += (id[i] == '"' || id[i] == '\\') ? 2 : 1;
            if (quotedLength > budget) break;
            if (id[i] == ';') keep = i + 1;
        }
        line.idCut = true;
        line.idCutAt = keep;
        quoted = quoteField(std::string_view(id).substr(0, keep));
    }
    line.text = head + quoted + "\"";
    return line;
}

std::optional<int> parseCopies(std::string_view text, std::string& error) {
    int value = 0;
    bool ok = !text.empty() && text.size() <= 9;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            ok = false;
            break;
        }
        value = value * 10 + (c - '0');
    }
    if (!ok || value < 1 || value > 9999) {
        error = "the number of copies \"" + printableText(text) + "\" is not a whole number from 1 to 9999";
        return std::nullopt;
    }
    return value;
}

}  // namespace ostrolink::cups_backend
