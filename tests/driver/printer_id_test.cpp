// The printer identifier built from an IEEE 1284 device ID, checked against literal examples and against
// a reference written here with std::string (first "MFG:"/"MANUFACTURER:" and "MDL:"/"MODEL:" anywhere in
// the text, values up to ';', first 20 characters, then the check value in four hex digits).
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "driver/child.h"
#include "printer_id_reference.h"
#include "platform/kernel/kernel.h"
#include "platform/registry/registry.h"

namespace {

constexpr uint32_t kTag = 0x206B6444;

std::optional<std::string> ValueOf(const std::string& text, const std::string& shortKey, const std::string& longKey)
{
    const size_t a = text.find(shortKey);
    const size_t b = text.find(longKey);
    if (a == std::string::npos && b == std::string::npos) return std::nullopt;
    const size_t start = (b == std::string::npos || (a != std::string::npos && a < b)) ? a + shortKey.size()
                                                                                       : b + longKey.size();
    const size_t end = text.find(';', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The identifier as 8-bit text, or nothing when there is no non-empty manufacturer.
std::optional<std::string> ReferenceId(const std::string& text)
{
    const auto mfg = ValueOf(text, "MFG:", "MANUFACTURER:");
    if (!mfg || mfg->empty()) return std::nullopt;
    const std::string collected = *mfg + ValueOf(text, "MDL:", "MODEL:").value_or("");
    char check[9];
    std::snprintf(check, sizeof check, "%04X", ReferenceCheck(collected));
    return collected.substr(0, 20) + check;
}

class PrinterId : public ::testing::Test {
protected:
    w98::Registry registry;
    w98::Kernel kernel{registry};

    // The platform's own ANSI-to-wide conversion of `text`.
    std::u16string Widen(const std::string& text)
    {
        ANSI_STRING ansi;
        ansi.Buffer = const_cast<char*>(text.c_str());
        ansi.Length = static_cast<USHORT>(text.size());
        ansi.MaximumLength = static_cast<USHORT>(text.size() + 1);
        UNICODE_STRING wide;
        EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
        std::u16string result(reinterpret_cast<const char16_t*>(wide.Buffer), wide.Length / sizeof(WCHAR));
        RtlFreeUnicodeString(&wide);
        return result;
    }

    // BuildPrinterId over the first `length` bytes of `text` (all of it by default).
    std::optional<std::u16string> Build(const std::string& text, std::optional<size_t> length = {})
    {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        ANSI_STRING ansi;
        ansi.Buffer = buffer.data();
        ansi.Length = static_cast<USHORT>(length.value_or(text.size()));
        ansi.MaximumLength = static_cast<USHORT>(buffer.size());
        UNICODE_STRING wide{};
        if (!BuildPrinterId(&wide, &ansi)) return std::nullopt;
        std::u16string result(reinterpret_cast<const char16_t*>(wide.Buffer), wide.Length / sizeof(WCHAR));
        RtlFreeUnicodeString(&wide);
        return result;
    }

    void ExpectNoDriverBlocks() { EXPECT_TRUE(kernel.pool().outstanding(kTag).empty()) << kernel.pool().report(); }
};

TEST_F(PrinterId, DocumentedExamplesGiveTheirIdentifiers)
{
    EXPECT_EQ(Build("MFG:Acme;CMD:PCL;MDL:Jet 100;CLS:PRINTER;"), u"AcmeJet 1002888");
    EXPECT_EQ(Build("MANUFACTURER:Example Works;MODEL:Photo Writer 9000;"), u"Example WorksPhoto WA00F");
    EXPECT_EQ(Build("MFG:1234;MDL:56789;"), u"123456789593C");
    EXPECT_EQ(Build("MDL:Jet 100;MFG:Acme;"), u"AcmeJet 1002888");
    EXPECT_EQ(Build("MFG:Acme;"), u"Acme9908");
    EXPECT_EQ(Build("MFG:Acme"), u"Acme9908");  // no ';': the value runs to the end
    ExpectNoDriverBlocks();
}

TEST_F(PrinterId, NoManufacturerMeansNoIdentifier)
{
    for (const char* text : {"MFG:;MDL:Jet 100;", "mfg:acme;mdl:jet;", "MDL:Jet 100;", "", "MFG", "MDL:Jet;MFG:",
                             "MDL:X;MANUFACT", "Manufacturer:Acme;", "MFG;Acme;"}) {
        EXPECT_EQ(Build(text), std::nullopt) << text;
        EXPECT_EQ(ReferenceId(text), std::nullopt) << text;
    }
    ExpectNoDriverBlocks();
}

TEST_F(PrinterId, AgreesWithTheReference)
{
    const std::vector<std::string> texts = {
        "XMFG:Acme;YMDL:Jet;",                         // keys inside other fields
        "CMD:PCLMFG:Acme;DESMODEL:Big;",               // keys not at a field start
        "MFG:Acme;MDL:",                               // model key at the very end: empty model
        "MFG:Acme;MOD",                                // cut-off long model key
        "MANUFACTURER:Big;MFG:Small;MDL:m;",           // the first key position wins ...
        "MFG:Small;MANUFACTURER:Big;MODEL:m;MDL:n;",   // ... whichever form it is
        "MFG:Hewlett-Packard;CMD:PJL,PCL;MDL:LaserJet 1100;CLS:PRINTER;",  // more than 20 characters
        "MFG:ABCDEFGHIJKLMNOPQRST;",                   // exactly 20
        "MFG:ABCDEFGHIJKLMNOPQRSTU;",                  // 21
        "MFG:MDL:Z",                                   // the model key inside the manufacturer value
        "MFG:  spaced  ;MDL:; ;",                      // spaces kept, empty model
        "MODEL:Only;MANUFACTURER:Late",                // long forms, no ';' at the end
    };
    for (const std::string& text : texts) {
        const auto expected = ReferenceId(text);
        ASSERT_TRUE(expected.has_value()) << text;
        EXPECT_EQ(Build(text), Widen(*expected)) << text;
    }
    ExpectNoDriverBlocks();
}

TEST_F(PrinterId, BytesAboveAsciiAreKeptUnchanged)
{
    const std::string text = "MFG:Caf\xE9;MDL:\xFF\xFE\x80;";
    const std::string collected = "Caf\xE9\xFF\xFE\x80";
    char check[9];
    std::snprintf(check, sizeof check, "%04X", ReferenceCheck(collected));
    EXPECT_EQ(Build(text), Widen(collected + check));
    ExpectNoDriverBlocks();
}

TEST_F(PrinterId, OverlappingValuesLongerThanTheTextAreCutToTwentyCharacters)
{
    // The manufacturer value holds the model key, so manufacturer + model is longer than the text.
    const std::string text = "MFG:MDL:" + std::string(900, 'x');
    const std::string collected = "MDL:" + std::string(900, 'x') + std::string(900, 'x');
    char check[9];
    std::snprintf(check, sizeof check, "%04X", ReferenceCheck(collected));
    EXPECT_EQ(Build(text), Widen(collected.substr(0, 20) + check));
    ExpectNoDriverBlocks();
}

TEST_F(PrinterId, ScanStopsAtTheCountedLength)
{
    // The model key lies past the counted length: only the manufacturer counts.
    EXPECT_EQ(Build("MFG:Acme;MDL:Jet 100;", 11), u"Acme9908");
    // The manufacturer key itself crosses the end.
    EXPECT_EQ(Build("MFG:Acme;", 3), std::nullopt);
    // The value is cut at the counted length.
    EXPECT_EQ(Build("MFG:AcmeJet 100;", 8), u"Acme9908");
}

TEST_F(PrinterId, EveryAllocationFailingInTurnLeaksNothing)
{
    const std::string text = "MFG:Acme;CMD:PCL;MDL:Jet 100;";
    const uint64_t before = kernel.pool().allocationCount();
    ASSERT_EQ(Build(text), u"AcmeJet 1002888");
    const uint64_t needed = kernel.pool().allocationCount() - before;
    ASSERT_GE(needed, 2u);  // two work buffers (and the wide string, when it comes from the pool)
    for (uint64_t n = 1; n <= needed; ++n) {
        kernel.pool().failNth(n);
        const auto id = Build(text);
        kernel.pool().clearFaults();
        EXPECT_EQ(id, std::nullopt) << "allocation " << n;
        ExpectNoDriverBlocks();
    }
    EXPECT_EQ(Build(text), u"AcmeJet 1002888");
}

}  // namespace
