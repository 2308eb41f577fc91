// The table-driven CRC-32 against the shift-register definition, which stays here as the oracle.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "image/image_header.h"

namespace {

// The definition: eight shift steps per byte, least significant bit first, no table.
uint32_t crc32_bitwise(const uint8_t* data, size_t length, uint32_t reg)
{
    for (size_t i = 0; i < length; i++) {
        uint8_t byte = data[i];
        for (int bit = 0; bit < 8; bit++) {
            reg = ((reg ^ byte) & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
            byte >>= 1;
        }
    }
    return reg;
}

uint32_t crc_of(const std::string& text)
{
    return crc32_update(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), 0xFFFFFFFFu);
}

}  // namespace

TEST(Crc32, CheckValues)
{
    EXPECT_EQ(crc_of("123456789"), 0x340BC6D9u);
    EXPECT_EQ(crc_of("abc"), 0xCADBBE3Du);
    EXPECT_EQ(crc_of(""), 0xFFFFFFFFu);
    // Long enough for the sliced path: the complement of the common CRC-32 of the text.
    EXPECT_EQ(crc_of("The quick brown fox jumps over the lazy dog"), ~0x414FA339u);
    // An image's stored crc is compared as it is, without inversion.
    const uint8_t* digits = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_FALSE(image_crc_bad(digits, 9, 0x340BC6D9u));
    EXPECT_TRUE(image_crc_bad(digits, 9, ~0x340BC6D9u));
    EXPECT_TRUE(image_crc_bad(digits, 8, 0x340BC6D9u));
}

// Every short length at every alignment, then longer ones; each from a random start value, and
// split at a random point into two chained calls.
TEST(Crc32, MatchesTheDefinitionForAnyLengthAlignmentStartAndChaining)
{
    std::mt19937 rng(1);
    std::vector<uint8_t> buffer(3000 + 16);
    for (uint8_t& b : buffer)
        b = uint8_t(rng());
    for (uint32_t length = 0; length <= 3000; length += (length < 80 ? 1 : 37)) {
        for (uint32_t align = 0; align < 16; align += (length < 80 ? 1 : 5)) {
            const uint8_t* data = buffer.data() + align;
            uint32_t start = align == 0 ? 0xFFFFFFFFu : align == 1 ? 0 : uint32_t(rng());
            uint32_t split = uint32_t(rng() % (length + 1));
            uint32_t whole = crc32_update(data, length, start);
            ASSERT_EQ(whole, crc32_bitwise(data, length, start))
                << "length " << length << " alignment " << align << " start " << start;
            ASSERT_EQ(crc32_update(data + split, length - split, crc32_update(data, split, start)), whole)
                << "length " << length << " split " << split;
        }
    }
}
