// The image format library and bmimage's image builder: the table-driven CRC-32 against the
// shift-register definition, which stays here as the oracle; 64-bit file positions, which must
// hold on the switch's 32-bit PowerPC as much as on a 64-bit workstation (byte order needs no
// test of its own: every unit test also runs on the big-endian target under qemu-ppc, and the
// image format tests decode every field); the builder and the version and type names it takes.
// Faults tried (src/image/image_header.cpp, tools/bmimage/image_builder.cpp) and the test that
// caught each:
//   a final inversion, the bytes after the last 16-byte slice folded with the wrong table ->
//   Crc32.MatchesTheDefinitionForAnyLengthAlignmentStartAndChaining;
//   the walk seeking to a signed 32-bit position ->
//   TargetLargeFiles.ImageSearchStepsPastAnImageThatEndsBeyond2GiB;
//   the format-2 header length at bytes 16-17, the CRC from byte 16 on, the header copy at payload
//   byte 240, a short boot loader padded with 0xFF, bit 31 set on a format-1 image, the format-3
//   len counting the whole header -> BuildImage.HeaderWordsPayloadAndCrcOfEveryFormat;
//   version parts of four digits, type names without case -> BmimageNames.VersionsAndTypes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"
#include "support/bytes.h"

namespace {

// The check value (start 0xFFFFFFFF, no final inversion); then every short length at every
// alignment, and longer ones, each from a random start value and split at a random point into
// two chained calls.
TEST(Crc32, MatchesTheDefinitionForAnyLengthAlignmentStartAndChaining) {
    EXPECT_EQ(crc32_update(reinterpret_cast<const uint8_t*>("123456789"), 9, 0xFFFFFFFFu), 0x340BC6D9u);
    std::mt19937 rng(1);
    Bytes buffer(3000 + 16);
    for (uint8_t& b : buffer) b = uint8_t(rng());
    for (uint32_t length = 0; length <= 3000; length += (length < 80 ? 1 : 37))
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

static_assert(sizeof(off_t) == 8, "_FILE_OFFSET_BITS=64 must reach every file of the build");

// A package whose first image ends past 2 GiB (negative in a 32-bit off_t or long, still within
// the unsigned 32-bit positions of the image format): the walk must seek there with a 64-bit
// position.
TEST(TargetLargeFiles, ImageSearchStepsPastAnImageThatEndsBeyond2GiB) {
    const uint32_t far = 0x90000000u;
    FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr) << strerror(errno);
    uint8_t kernel[HEADER_PROBE_SIZE] = {};
    write_be32(kernel + 4, far - IMAGE_HEADER_SIZE);
    write_be32(kernel + 8, IMAGE_KERNEL);
    Bytes app = build_image({.type = IMAGE_APPLICATION, .id = 0x0A0B0C0D}, Bytes(64, 0x5A));
    EXPECT_EQ(pwrite(fileno(stream), kernel, sizeof kernel, 0), ssize_t(sizeof kernel));
    EXPECT_EQ(pwrite(fileno(stream), app.data(), app.size(), off_t(far)), ssize_t(app.size()));
    FoundImage found;
    EXPECT_TRUE(find_image_header(stream, &found));
    EXPECT_EQ(std::tuple(found.type, found.layout.payload_len, ftello(stream), memcmp(found.header, app.data(), 16)),
              std::tuple(uint32_t(IMAGE_APPLICATION), 64u, off_t(far), 0));
    fclose(stream);
}

// Each image is its header words from byte 4 on, zeros up to the header length (16, or the
// last word of a format-2 or format-3 header), then the payload, with the CRC of everything after
// the crc field in front. The boot loader's header copy (len, magic, id; crc unknown, so zero)
// replaces payload bytes 240 to 255, covered by the CRC; a shorter payload is padded with zeros.
// Listing what the builder makes, damaged images included, is covered through the bmimage
// program and the header format table.
TEST(BuildImage, HeaderWordsPayloadAndCrcOfEveryFormat) {
    const uint32_t ID = 0x0A0B0C0D, F3 = FORMAT3_MARKER;
    const ImageSpec boot_loader{.type = IMAGE_BOOTLOADER, .id = ID, .embed_header_copy = true};
    const ImageSpec rootfs_long{.type = IMAGE_ROOTFS, .id = ID, .format = 2, .header_len = 64};
    const ImageSpec application_long{
        .type = IMAGE_APPLICATION, .id = ID, .format = 3, .header_len = 32, .set_bit31 = true};
    const struct {
        const char* what;
        ImageSpec plan;
        uint32_t payload_len;
        std::vector<uint32_t> words;
    } cases[] = {
        {"format 1", {.type = IMAGE_KERNEL, .id = ID}, 61, {61, 0x03504754, ID}},
        {"format 1 ignores bit 31", {.type = IMAGE_KERNEL, .id = ID, .set_bit31 = true}, 61, {61, 0x03504754, ID}},
        {"format 2, 64-byte header", rootfs_long, 1000, {1000, 0x84504754, ID, 64}},
        {"format 2", {.type = IMAGE_ROOTFS, .id = ID, .format = 2}, 61, {61, 0x84504754, ID, 20}},
        {"format 3, bit 31, 32-byte header", application_long, 84, {100, 0x81504754, ID, F3, 32}},
        {"format 3", {.type = IMAGE_APPLICATION, .id = ID, .format = 3}, 61, {69, 0x01504754, ID, F3, 24}},
        {"boot loader with its header copy", boot_loader, 600, {600, 0x02504754, ID}},
        {"boot loader padded to 256 bytes", boot_loader, 100, {256, 0x02504754, ID}},
    };
    for (const auto& c : cases) {
        Bytes payload(c.payload_len), expected(c.words.size() == 3 ? 16 : c.words.back(), 0);
        std::iota(payload.begin(), payload.end(), uint8_t(7));
        const Bytes image = build_image(c.plan, payload);
        for (size_t i = 0; i < c.words.size(); i++) write_be32(&expected[4 + 4 * i], c.words[i]);
        if (c.plan.embed_header_copy) {
            payload.resize(std::max<size_t>(c.payload_len, 256), 0);
            std::fill_n(&payload[240], 4, 0);
            std::copy(&expected[4], &expected[16], &payload[244]);
        }
        expected.insert(expected.end(), payload.begin(), payload.end());
        write_be32(&expected[0], crc32_bitwise(&expected[4], expected.size() - 4, 0xFFFFFFFFu));
        EXPECT_EQ(image, expected) << c.what;
    }
}

TEST(BmimageNames, VersionsAndTypes) {
    uint32_t id = 0;
    EXPECT_TRUE(parse_version("255.0.255.0", &id) && id == 0xFF00FF00u);
    EXPECT_TRUE(parse_version("007.0.0.1", &id) && id == 0x07000001u);
    id = 0x55555555;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4.", ".1.2.3", "a.b.c.d",
                            "1.2.3.-4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.0004", "+1.2.3.4"})
        EXPECT_FALSE(parse_version(bad, &id) || id != 0x55555555u) << '"' << bad << '"';
    const char* names[] = {"application", "bootloader", "kernel", "rootfs", "devicetree", "diagnostics", "signature"};
    for (uint32_t i = 0, type = 0; i < 7; i++)
        EXPECT_TRUE(parse_image_type(names[i], &type) && type == IMAGE_APPLICATION + (i << 24) &&
                    image_type_name(type) == names[i])
            << names[i];
    EXPECT_FALSE(parse_image_type("Kernel", &id) || parse_image_type("", &id));
    EXPECT_EQ(image_type_name(0x08504754) + image_type_name(0x81504754), "") << "unknown, and a raw magic";
}

}  // namespace
