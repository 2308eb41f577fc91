// The image builder of bmimage and the version and type names it takes.
// Faults tried (tools/bmimage/image_builder.cpp) and the test that caught each:
//   the format-2 header length at bytes 16-17, the CRC from byte 16 on, the header copy at payload
//   byte 240, a short boot loader padded with 0xFF, bit 31 set on a format-1 image, the format-3
//   len counting the whole header -> BuildImage.HeaderWordsPayloadAndCrcOfEveryFormat;
//   version parts of four digits, type names without case -> BmimageNames.VersionsAndTypes.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Each image is its header words from byte 4 on, zeros up to the header length (16, or the
// last word of a format-2 or format-3 header), then the payload, with the CRC of everything after
// the crc field in front. The boot loader's header copy (len, magic, id; crc unknown, so zero)
// replaces payload bytes 240 to 255, covered by the CRC; a shorter payload is padded with zeros.
// Listing what the builder makes, damaged images included, is covered through the bmimage
// program and the header format table.
TEST(BuildImage, HeaderWordsPayloadAndCrcOfEveryFormat) {
    const uint32_t ID = 0x0A0B0C0D, F3 = FORMAT3_MARKER;
    const struct {
        ImageSpec plan;
        uint32_t payload_len;
        std::vector<uint32_t> words;
    } cases[] = {
        {{.type = IMAGE_KERNEL, .id = ID}, 61, {61, 0x03504754, ID}},
        {{.type = IMAGE_KERNEL, .id = ID, .set_bit31 = true}, 61, {61, 0x03504754, ID}},  // format 3 only
        {{.type = IMAGE_ROOTFS, .id = ID, .format = 2, .header_len = 64}, 1000, {1000, 0x84504754, ID, 64}},
        {{.type = IMAGE_ROOTFS, .id = ID, .format = 2}, 61, {61, 0x84504754, ID, 20}},
        {{.type = IMAGE_APPLICATION, .id = ID, .format = 3, .header_len = 32, .set_bit31 = true},
         84,
         {100, 0x81504754, ID, F3, 32}},
        {{.type = IMAGE_APPLICATION, .id = ID, .format = 3}, 61, {69, 0x01504754, ID, F3, 24}},
        {{.type = IMAGE_BOOTLOADER, .id = ID, .embed_header_copy = true}, 600, {600, 0x02504754, ID}},
        {{.type = IMAGE_BOOTLOADER, .id = ID, .embed_header_copy = true}, 100, {256, 0x02504754, ID}},
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
        write_be32(&expected[0], crc32_update(&expected[4], uint32_t(expected.size() - 4), 0xFFFFFFFFu));
        EXPECT_EQ(image, expected) << "case " << &c - cases;
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
    const char* names[] = {"application", "bootloader", "kernel", "rootfs", "devicetree", "diagnostics"};
    for (uint32_t i = 0, type = 0; i < 6; i++)
        EXPECT_TRUE(parse_image_type(names[i], &type) && type == IMAGE_APPLICATION + (i << 24) &&
                    image_type_name(type) == names[i])
            << names[i];
    EXPECT_FALSE(parse_image_type("Kernel", &id) || parse_image_type("", &id));
    EXPECT_EQ(image_type_name(0x07504754) + image_type_name(0x81504754), "") << "unknown, and a raw magic";
}

}  // namespace
