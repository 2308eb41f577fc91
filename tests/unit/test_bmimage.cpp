// The image builder and the package listing of bmimage.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t count)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = uint8_t(i * 31 + 7);
    return bytes;
}

ImageSpec spec_of(uint32_t type, int format, uint32_t header_len = 0)
{
    return {.type = type, .id = 0x0A0B0C0D, .format = format, .header_len = header_len};
}

bool crc_good(const Bytes& image)
{
    return !image_crc_bad(image.data() + 4, uint32_t(image.size() - 4), read_be32(image.data()));
}

}  // namespace

// The header's words from byte 4 on, then zeros up to the header length, then the payload.
TEST(BuildImage, EveryFormatWritesItsHeaderAndCrc)
{
    ImageSpec bit31 = spec_of(IMAGE_APPLICATION, 3, 32);
    bit31.set_bit31 = true;
    struct Case { ImageSpec plan; uint32_t payload_len, header_len; std::vector<uint32_t> words; };
    const Case cases[] = {
        {spec_of(IMAGE_KERNEL, 1), 1000, 16, {1000, 0x03504754, 0x0A0B0C0D}},
        {spec_of(IMAGE_ROOTFS, 2, 64), 1000, 64, {1000, 0x84504754, 0x0A0B0C0D, 64}},
        {spec_of(IMAGE_ROOTFS, 2), 10, 20, {10, 0x84504754, 0x0A0B0C0D, 20}},
        {spec_of(IMAGE_APPLICATION, 3, 32), 84, 32, {100, 0x01504754, 0x0A0B0C0D, FORMAT3_MARKER, 32}},
        {bit31, 84, 32, {100, 0x81504754, 0x0A0B0C0D, FORMAT3_MARKER, 32}},
        {spec_of(IMAGE_APPLICATION, 3), 10, 24, {18, 0x01504754, 0x0A0B0C0D, FORMAT3_MARKER, 24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.plan.format << ", header length " << c.header_len);
        Bytes payload = pattern(c.payload_len), image = build_image(c.plan, payload);
        ASSERT_EQ(image.size(), c.header_len + c.payload_len);
        for (size_t i = 0; i < c.words.size(); i++)
            EXPECT_EQ(read_be32(&image[4 + 4 * i]), c.words[i]) << "word " << i;
        EXPECT_TRUE(std::all_of(image.begin() + 4 + 4 * c.words.size(), image.begin() + c.header_len,
                                [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image.begin() + c.header_len));
        EXPECT_TRUE(crc_good(image));
    }
}

// Where the copy lands once installed is checked by reading the installed version back.
TEST(BuildImage, BootLoaderHeaderCopyChangesOnlyPayloadBytes240To255)
{
    const ImageSpec plan{.type = IMAGE_BOOTLOADER, .id = 7, .embed_header_copy = true};
    Bytes payload = pattern(600), image = build_image(plan, payload);
    ASSERT_EQ(image.size(), 616u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 240, image.begin() + 16));
    EXPECT_TRUE(std::equal(payload.begin() + 256, payload.end(), image.begin() + 16 + 256));
    EXPECT_TRUE(crc_good(image));

    // A payload too short to hold the copy is padded with zeros to 256 bytes.
    Bytes small = build_image(plan, pattern(100));
    ASSERT_EQ(small.size(), 16u + 256u);
    EXPECT_EQ(read_be32(&small[4]), 256u);
    EXPECT_TRUE(std::equal(&small[16 + 244], &small[16 + 256], &small[4]));
    EXPECT_EQ(small[16 + 100], 0);
}

TEST(BmimageNames, VersionsAndTypes)
{
    uint32_t id = 0;
    EXPECT_TRUE(parse_version("255.0.255.0", &id) && id == 0xFF00FF00u);
    EXPECT_TRUE(parse_version("007.0.0.1", &id) && id == 0x07000001u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4.", ".1.2.3",
                            "a.b.c.d", "1.2.3.-4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.0004", "+1.2.3.4"}) {
        id = 0x55555555;
        EXPECT_FALSE(parse_version(bad, &id)) << '"' << bad << '"';
        EXPECT_EQ(id, 0x55555555u) << '"' << bad << '"';
    }

    const char* names[] = {"application", "bootloader", "kernel", "rootfs", "devicetree", "diagnostics"};
    for (uint32_t i = 0; i < 6; i++) {
        uint32_t type = 0;
        ASSERT_TRUE(parse_image_type(names[i], &type)) << names[i];
        EXPECT_EQ(type, 0x01504754u + (i << 24));
        EXPECT_EQ(image_type_name(type), names[i]);
    }
    EXPECT_FALSE(parse_image_type("Kernel", &id));
    EXPECT_FALSE(parse_image_type("", &id));
    EXPECT_EQ(image_type_name(0x07504754), "");
    EXPECT_EQ(image_type_name(0x81504754), "") << "a raw magic is not a type";
}

// Every byte after the crc field is covered. A flipped payload byte shows as a bad CRC; a flipped
// header byte as a bad CRC, or, in a length field, as an image that no longer fits the file or
// lengths that cannot describe an image: never as a good image.
TEST(ListPackage, AFlippedByteAfterTheCrcFieldIsCaught)
{
    for (auto [format, header_len] : {std::pair{1, 16u}, {2, 20u}, {3, 24u}}) {
        Bytes image = build_image(spec_of(IMAGE_APPLICATION, format), pattern(61));
        ASSERT_TRUE(list_package(image).entries.at(0).crc_good);
        for (size_t at = 4; at < image.size(); at++) {
            Bytes flipped = image;
            flipped[at] ^= 0x01;
            PackageListing listing = list_package(flipped);
            bool shown_good = !listing.malformed && !listing.entries.empty() && listing.entries[0].crc_good;
            EXPECT_FALSE(shown_good) << "format " << format << " byte " << at;
            if (at >= header_len) {
                ASSERT_EQ(listing.entries.size(), 1u) << "format " << format << " byte " << at;
                EXPECT_FALSE(listing.entries[0].truncated) << "format " << format << " byte " << at;
            }
        }
    }
}
