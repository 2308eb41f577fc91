// The image builder and the package listing of bmimage.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; i++) bytes[i] = uint8_t(i * 31 + 7);
    return bytes;
}

// Each image holds the header's words from byte 4 on, zeros up to the header length, then the
// payload, and is listed with the fields it was made with and a good CRC. A flipped byte anywhere
// after the crc field never lists as a good image: in the payload it shows as a bad CRC, in the
// header as a bad CRC, an image that no longer fits the file, or lengths that describe no image.
TEST(BuildImage, RoundTripsThroughTheListingInEveryFormat) {
    const uint32_t ID = 0x0A0B0C0D, F3 = FORMAT3_MARKER;
    struct Case {
        ImageSpec plan;
        uint32_t payload_len, header_len;
        std::vector<uint32_t> words;
    };
    const Case cases[] = {
        {{.type = IMAGE_KERNEL, .id = ID}, 61, 16, {61, 0x03504754, ID}},
        {{.type = IMAGE_ROOTFS, .id = ID, .format = 2, .header_len = 64}, 1000, 64, {1000, 0x84504754, ID, 64}},
        {{.type = IMAGE_ROOTFS, .id = ID, .format = 2}, 61, 20, {61, 0x84504754, ID, 20}},
        {{.type = IMAGE_APPLICATION, .id = ID, .format = 3, .header_len = 32, .set_bit31 = true},
         84,
         32,
         {100, 0x81504754, ID, F3, 32}},
        {{.type = IMAGE_APPLICATION, .id = ID, .format = 3}, 61, 24, {69, 0x01504754, ID, F3, 24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.plan.format << ", header length " << c.header_len);
        Bytes payload = pattern(c.payload_len), image = build_image(c.plan, payload);
        ASSERT_EQ(image.size(), c.header_len + c.payload_len);
        Bytes header(c.header_len, 0);
        for (size_t i = 0; i < c.words.size(); i++) write_be32(&header[4 + 4 * i], c.words[i]);
        EXPECT_TRUE(std::equal(header.begin() + 4, header.end(), image.begin() + 4));
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image.begin() + c.header_len));
        PackageListing listing = list_package(image);
        ASSERT_EQ(listing.entries.size(), 1u);
        const PackageEntry& e = listing.entries[0];
        EXPECT_EQ(std::tuple(e.offset, e.type, e.format, e.header_len, e.payload_len, e.id, e.crc_good, e.truncated,
                             listing.trailing_bytes, listing.malformed),
                  std::tuple(0u, c.plan.type, c.plan.format, c.header_len, c.payload_len, ID, true, false, 0u, false));
        for (size_t at = 4; at < image.size(); at++) {
            Bytes flipped = image;
            flipped[at] ^= 0x01;
            PackageListing l = list_package(flipped);
            EXPECT_FALSE(!l.malformed && !l.entries.empty() && l.entries[0].crc_good) << "byte " << at;
            EXPECT_TRUE(at < c.header_len || (l.entries.size() == 1 && !l.entries[0].truncated)) << "byte " << at;
        }
    }
}

// The boot loader's header copy (len, magic, id; crc unknown, so zero) changes only payload
// bytes 240 to 255, covered by the CRC; a payload too short for it is padded with zeros.
TEST(BuildImage, BootLoaderHeaderCopyChangesOnlyPayloadBytes240To255) {
    for (size_t payload_len : {600, 100}) {
        Bytes payload = pattern(payload_len);
        Bytes image = build_image({.type = IMAGE_BOOTLOADER, .id = 7, .embed_header_copy = true}, payload);
        ASSERT_EQ(image.size(), 16 + std::max<size_t>(payload_len, 256)) << payload_len;
        payload.resize(image.size() - 16, 0);
        std::fill_n(&payload[240], 4, 0);
        std::copy(&image[4], &image[16], &payload[244]);
        EXPECT_EQ(Bytes(image.begin() + 16, image.end()), payload) << payload_len;
        EXPECT_EQ(read_be32(&image[4]), payload.size());
        EXPECT_TRUE(list_package(image).entries.at(0).crc_good);
    }
}

TEST(BmimageNames, VersionsAndTypes) {
    uint32_t id = 0;
    EXPECT_TRUE(parse_version("255.0.255.0", &id) && id == 0xFF00FF00u);
    EXPECT_TRUE(parse_version("007.0.0.1", &id) && id == 0x07000001u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4.", ".1.2.3", "a.b.c.d",
                            "1.2.3.-4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.0004", "+1.2.3.4"}) {
        id = 0x55555555;
        EXPECT_FALSE(parse_version(bad, &id) || id != 0x55555555u) << '"' << bad << '"';
    }
    const char* names[] = {"application", "bootloader", "kernel", "rootfs", "devicetree", "diagnostics"};
    for (uint32_t i = 0; i < 6; i++) {
        uint32_t type = 0;
        EXPECT_TRUE(parse_image_type(names[i], &type) && type == 0x01504754u + (i << 24)) << names[i];
        EXPECT_EQ(image_type_name(0x01504754u + (i << 24)), names[i]);
    }
    EXPECT_FALSE(parse_image_type("Kernel", &id) || parse_image_type("", &id));
    EXPECT_EQ(image_type_name(0x07504754) + image_type_name(0x81504754), "") << "unknown, and a raw magic";
}

}  // namespace
