// Fuzz target: the printer identifier builder and its check value, against an independent model.
//
// The input is the device ID text handed to BuildPrinterId as a counted string (NULs and bytes above
// 0x7F included). The model below follows the documented rules: first "MFG:" or "MANUFACTURER:" key
// anywhere in the text, then the first "MDL:" or "MODEL:" key, values up to the next ';', "%.20s%04X"
// with the CRC-16/ARC nibble tables whose HI[15] entry is 0x4600. Any difference, a pool block left
// behind, or a verifier report (which aborts) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "driver/child.h"
#include "kernel/kernel.h"
#include "registry/registry.h"

namespace {

struct Tables {
    uint16_t lo[16];
    uint16_t hi[16];
};

// Eight bit-reversed CRC steps (polynomial 0xA001) of a byte value, as the nibble tables hold them.
uint16_t CrcOfByte(uint16_t value)
{
    uint16_t crc = value;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
    return crc;
}

Tables MakeTables()
{
    Tables t{};
    for (uint16_t n = 0; n < 16; ++n) {
        t.lo[n] = CrcOfByte(n);
        t.hi[n] = CrcOfByte(static_cast<uint16_t>(n << 4));
    }
    t.hi[15] = 0x4600;  // the identifier's one departure from CRC-16/ARC
    return t;
}

uint32_t ModelChecksum(std::string_view bytes, uint32_t accumulator = 0)
{
    static const Tables t = MakeTables();
    for (unsigned char b : bytes) {
        const uint32_t x = (b ^ accumulator) & 0xFF;
        accumulator = (accumulator >> 8) ^ t.lo[x & 0x0F] ^ t.hi[x >> 4];
    }
    return accumulator;
}

// Where the value of the first matching key starts, or nullopt.
std::optional<size_t> FindValue(std::string_view text, std::string_view shortKey, std::string_view longKey)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (i + shortKey.size() <= text.size() && text.substr(i, shortKey.size()) == shortKey) return i + shortKey.size();
        // strncmp stops at a NUL of the text, which can never equal a key character: a plain compare does.
        if (i + longKey.size() <= text.size() && text.substr(i, 4) == longKey.substr(0, 4) &&
            text.substr(i, longKey.size()) == longKey)
            return i + longKey.size();
    }
    return std::nullopt;
}

std::string_view ValueAt(std::string_view text, std::optional<size_t> start)
{
    if (!start) return {};
    std::string_view rest = text.substr(*start);
    return rest.substr(0, rest.find(';'));
}

std::optional<std::string> ModelPrinterId(std::string_view text)
{
    const std::string_view mfg = ValueAt(text, FindValue(text, "MFG:", "MANUFACTURER:"));
    if (mfg.empty()) return std::nullopt;
    const std::string_view mdl = ValueAt(text, FindValue(text, "MDL:", "MODEL:"));
    const std::string collected = std::string(mfg) + std::string(mdl);
    // "%.20s" stops at a NUL inside the collected bytes; the check value still covers all of them.
    const size_t shown = std::min<size_t>(20, collected.find('\0') == std::string::npos ? collected.size()
                                                                                      : collected.find('\0'));
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(ModelChecksum(collected)));
    std::string id = collected.substr(0, shown) + digits;
    // The converted string ends at its first NUL (none can be left after the cut above).
    return id;
}

std::string Narrow(const UNICODE_STRING& s)
{
    std::string out;
    for (size_t i = 0; i < s.Length / sizeof(WCHAR); ++i) {
        const auto unit = static_cast<uint16_t>(s.Buffer[i]);
        if (unit > 0xFF) {
            std::fprintf(stderr, "printer id holds a unit above 0xFF: %04X\n", unit);
            std::abort();
        }
        out.push_back(static_cast<char>(unit));
    }
    return out;
}

[[noreturn]] void Fail(const char* what, const std::string& expected, const std::string& actual)
{
    std::fprintf(stderr, "%s\n  model:  \"%s\"\n  driver: \"%s\"\n", what, expected.c_str(), actual.c_str());
    std::abort();
}

struct World {
    w98::Registry registry;
    std::unique_ptr<w98::Kernel> kernel = std::make_unique<w98::Kernel>(registry);
};

World& TheWorld()
{
    static World* world = new World;  // lives to the process end; libFuzzer exits without unwinding
    return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xFFFF) return 0;  // a counted string holds at most 65535 bytes
    World& world = TheWorld();
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The check value alone, folded in two pieces: it must not depend on how the bytes are split.
    ULONG whole = 0;
    PrinterIdChecksum(reinterpret_cast<const UCHAR*>(text.data()), static_cast<ULONG>(text.size()), &whole);
    ULONG split = 0;
    const size_t half = text.size() / 2;
    PrinterIdChecksum(reinterpret_cast<const UCHAR*>(text.data()), static_cast<ULONG>(half), &split);
    PrinterIdChecksum(reinterpret_cast<const UCHAR*>(text.data() + half), static_cast<ULONG>(text.size() - half), &split);
    if (whole != ModelChecksum(text) || split != whole || whole > 0xFFFF)
        Fail("check value differs", std::to_string(ModelChecksum(text)), std::to_string(whole) + "/" + std::to_string(split));

    const size_t blocksBefore = world.kernel->pool().outstanding().size();
    ANSI_STRING ansi;
    ansi.Length = static_cast<USHORT>(text.size());
    ansi.MaximumLength = static_cast<USHORT>(text.size());
    ansi.Buffer = const_cast<char*>(text.data());
    UNICODE_STRING id{};
    const BOOLEAN built = BuildPrinterId(&id, &ansi);
    const std::optional<std::string> expected = ModelPrinterId(text);
    if (built) {
        const std::string actual = Narrow(id);
        RtlFreeUnicodeString(&id);
        if (!expected) Fail("driver built an identifier where none is due", "(none)", actual);
        if (actual != *expected) Fail("identifier differs", *expected, actual);
    } else if (expected) {
        Fail("driver built no identifier", *expected, "(none)");
    }
    if (world.kernel->pool().outstanding().size() != blocksBefore) {
        std::fprintf(stderr, "pool blocks left behind:\n%s\n", world.kernel->pool().report().c_str());
        std::abort();
    }
    return 0;
}
