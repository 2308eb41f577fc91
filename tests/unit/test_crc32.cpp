// The table-driven CRC-32 against the shift-register definition, which stays here as the oracle.
#include <gtest/gtest.h>

#include <cstring>
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
    return crc32_update(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()),
                        0xFFFFFFFFu);
}

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes)
        b = uint8_t(rng());
    return bytes;
}

}  // namespace

TEST(Crc32, CatalogueValues)
{
    EXPECT_EQ(crc_of("123456789"), 0x340BC6D9u);
    EXPECT_EQ(crc_of("abc"), 0xCADBBE3Du);
    EXPECT_EQ(crc_of(""), 0xFFFFFFFFu);
    // Long enough for the sliced path: the complement of the common CRC-32 of the text.
    EXPECT_EQ(crc_of("The quick brown fox jumps over the lazy dog"), ~0x414FA339u);
}

TEST(Crc32, MatchesDefinitionForEveryLengthAndAlignment)
{
    std::mt19937 rng(1);
    std::vector<uint8_t> buffer = random_bytes(rng, 3000 + 16);
    for (uint32_t length = 0; length <= 3000; length += (length < 80 ? 1 : 37)) {
        for (uint32_t align = 0; align < 16; align += (length < 80 ? 1 : 5)) {
            const uint8_t* data = buffer.data() + align;
            ASSERT_EQ(crc32_update(data, length, 0xFFFFFFFFu),
                      crc32_bitwise(data, length, 0xFFFFFFFFu))
                << "length " << length << " alignment " << align;
        }
    }
}

TEST(Crc32, MatchesDefinitionForAnyStartValue)
{
    std::mt19937 rng(2);
    for (int round = 0; round < 300; round++) {
        std::vector<uint8_t> data = random_bytes(rng, rng() % 2049);
        uint32_t start = round < 3 ? (round == 0 ? 0u : round == 1 ? 0xFFFFFFFFu : 0x80000001u)
                                   : uint32_t(rng());
        ASSERT_EQ(crc32_update(data.data(), uint32_t(data.size()), start),
                  crc32_bitwise(data.data(), data.size(), start))
            << "length " << data.size() << " start " << start;
    }
}

TEST(Crc32, ChainedCallsEqualOneCall)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 200; round++) {
        std::vector<uint8_t> data = random_bytes(rng, rng() % 1500);
        uint32_t split = data.empty() ? 0 : uint32_t(rng() % (data.size() + 1));
        uint32_t first = crc32_update(data.data(), split, 0xFFFFFFFFu);
        uint32_t chained = crc32_update(data.data() + split, uint32_t(data.size()) - split, first);
        ASSERT_EQ(chained, crc32_update(data.data(), uint32_t(data.size()), 0xFFFFFFFFu))
            << "length " << data.size() << " split " << split;
    }
}

// Bytes that read differently in every position: a word loaded in the wrong byte order would
// change the result, on whichever host that happens.
TEST(Crc32, IsTheSameOnEveryByteOrder)
{
    std::vector<uint8_t> counting(64);
    for (size_t i = 0; i < counting.size(); i++)
        counting[i] = uint8_t(i * 7 + 1);
    uint32_t expected = crc32_bitwise(counting.data(), counting.size(), 0xFFFFFFFFu);
    EXPECT_EQ(crc32_update(counting.data(), uint32_t(counting.size()), 0xFFFFFFFFu), expected);
    EXPECT_EQ(expected, 0x87F97ED3u);
}

TEST(Crc32, ImageCrcBadComparesWithoutInversion)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_FALSE(image_crc_bad(digits, 9, 0x340BC6D9u));
    EXPECT_TRUE(image_crc_bad(digits, 9, ~0x340BC6D9u));
    EXPECT_TRUE(image_crc_bad(digits, 8, 0x340BC6D9u));
    EXPECT_FALSE(image_crc_bad(digits, 0, 0xFFFFFFFFu));
}
