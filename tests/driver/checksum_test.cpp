// The printer identifier's check value, against the bit-by-bit reference of printer_id_reference.h.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/child.h"
#include "printer_id_reference.h"

namespace {

uint32_t DriverCheck(const std::vector<uint8_t>& bytes, uint32_t acc = 0)
{
    ULONG value = acc;
    PrinterIdChecksum(bytes.data(), static_cast<ULONG>(bytes.size()), &value);
    return value;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(Checksum, MatchesKnownValues)
{
    EXPECT_EQ(DriverCheck(Bytes("123456789")), 0x593Cu);  // plain CRC-16/ARC would be 0xBB3D
    EXPECT_EQ(DriverCheck(Bytes("AcmeJet 100")), 0x2888u);
    EXPECT_EQ(DriverCheck(Bytes("Acme")), 0x9908u);
    EXPECT_EQ(DriverCheck(Bytes("Example WorksPhoto Writer 9000")), 0xA00Fu);
    EXPECT_EQ(DriverCheck({}), 0u);
}

TEST(Checksum, EveryByteValueMatchesTheReference)
{
    for (uint32_t start : {0x0000u, 0x1234u, 0xFFFFu, 0x8001u}) {
        for (int b = 0; b < 256; ++b) {
            const std::vector<uint8_t> one{static_cast<uint8_t>(b)};
            ASSERT_EQ(DriverCheck(one, start), ReferenceCheck(one, start)) << "byte " << b << " start " << start;
        }
    }
}

TEST(Checksum, FoldsInPiecesLikeAWholeAndStaysSixteenBits)
{
    std::vector<uint8_t> text;
    uint32_t seed = 7;
    for (int i = 0; i < 4096; ++i) {
        seed = seed * 1103515245u + 12345u;
        text.push_back(static_cast<uint8_t>(seed >> 16));
    }
    const uint32_t whole = DriverCheck(text);
    EXPECT_EQ(whole, ReferenceCheck(text));
    EXPECT_LE(whole, 0xFFFFu);
    ULONG acc = 0;
    PrinterIdChecksum(text.data(), 1000, &acc);
    PrinterIdChecksum(text.data() + 1000, static_cast<ULONG>(text.size() - 1000), &acc);
    EXPECT_EQ(acc, whole);
}

}  // namespace
