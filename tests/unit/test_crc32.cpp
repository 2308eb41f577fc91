// The table-driven CRC-32 against the shift-register definition, which stays here as the oracle.
// Faults tried (src/image/image_header.cpp): a final inversion, the bytes after the last 16-byte
// slice folded with the wrong table -> Crc32.MatchesTheDefinitionForAnyLengthAlignmentStartAndChaining.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "image/image_header.h"

namespace {

// The definition: eight shift steps per byte, least significant bit first, no table.
uint32_t crc32_bitwise(const uint8_t* data, size_t length, uint32_t reg) {
    for (size_t i = 0; i < length; i++)
        for (int bit = 0; bit < 8; bit++) reg = ((reg ^ (data[i] >> bit)) & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    return reg;
}

// The check value (start 0xFFFFFFFF, no final inversion); then every short length at every
// alignment, and longer ones, each from a random start value and split at a random point into
// two chained calls.
TEST(Crc32, MatchesTheDefinitionForAnyLengthAlignmentStartAndChaining) {
    EXPECT_EQ(crc32_update(reinterpret_cast<const uint8_t*>("123456789"), 9, 0xFFFFFFFFu), 0x340BC6D9u);
    std::mt19937 rng(1);
    std::vector<uint8_t> buffer(3000 + 16);
    for (uint8_t& b : buffer) b = uint8_t(rng());
    for (uint32_t length = 0; length <= 3000; length += (length < 80 ? 1 : 37)) {
        for (uint32_t align = 0; align < 16; align += (length < 80 ? 1 : 5)) {
            const uint8_t* data = buffer.data() + align;
            uint32_t start = align == 0 ? 0xFFFFFFFFu : align == 1 ? 0 : uint32_t(rng());
            uint32_t split = uint32_t(rng() % (length + 1));
            uint32_t chained = crc32_update(data + split, length - split, crc32_update(data, split, start));
            uint32_t defined = crc32_bitwise(data, length, start);
            ASSERT_EQ(std::pair(crc32_update(data, length, start), chained), std::pair(defined, defined))
                << "length " << length << " alignment " << align << " start " << start << " split " << split;
        }
    }
}

}  // namespace
