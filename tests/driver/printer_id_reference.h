// The printer identifier's check value written bit by bit, as the tests' reference: CRC-16/ARC (reflected
// 0xA001, initial 0, no final XOR) with the one table quirk of this check value, an extra 0x0200 whenever
// the high nibble of the table index is 0xF.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

inline uint32_t ReferenceCheck(std::span<const uint8_t> bytes, uint32_t acc = 0)
{
    for (uint8_t b : bytes) {
        const uint32_t t = (b ^ acc) & 0xFF;
        uint32_t entry = t;
        for (int bit = 0; bit < 8; ++bit) entry = (entry & 1) ? (entry >> 1) ^ 0xA001 : entry >> 1;
        if ((t >> 4) == 0xF) entry ^= 0x0200;
        acc = (acc >> 8) ^ entry;
    }
    return acc;
}

inline uint32_t ReferenceCheck(std::string_view text, uint32_t acc = 0)
{
    return ReferenceCheck(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), acc);
}
