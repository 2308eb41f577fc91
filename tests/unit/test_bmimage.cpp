// The image builder and the package listing of bmimage.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

namespace {

std::vector<uint8_t> pattern(size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = uint8_t(i * 31 + 7);
    return bytes;
}

ImageSpec spec_of(uint32_t type, int format, uint32_t header_len = 0)
{
    ImageSpec spec;
    spec.type = type;
    spec.id = 0x0A0B0C0D;
    spec.format = format;
    spec.header_len = header_len;
    return spec;
}

bool crc_good(const std::vector<uint8_t>& image)
{
    return !image_crc_bad(image.data() + 4, uint32_t(image.size() - 4), read_be32(image.data()));
}

}  // namespace

// ---- Building ---------------------------------------------------------------------------------

TEST(BuildImage, Format1IsHeaderThenPayload)
{
    std::vector<uint8_t> payload = pattern(1000);
    std::vector<uint8_t> image = build_image(spec_of(IMAGE_KERNEL, 1), payload);
    ASSERT_EQ(image.size(), 1016u);
    const uint8_t fields[12] = {0x00, 0x00, 0x03, 0xE8, 0x03, 0x50, 0x47, 0x54, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(0, memcmp(image.data() + 4, fields, sizeof fields));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image.begin() + 16));
    EXPECT_TRUE(crc_good(image));
}

TEST(BuildImage, Format2SetsBit31AndItsHeaderLength)
{
    std::vector<uint8_t> image = build_image(spec_of(IMAGE_ROOTFS, 2, 64), pattern(1000));
    ASSERT_EQ(image.size(), 1064u);
    EXPECT_EQ(read_be32(&image[4]), 1000u);
    EXPECT_EQ(read_be32(&image[8]), 0x84504754u);
    EXPECT_EQ(read_be32(&image[16]), 64u);  // bytes 16-17 unused, 18-19 the header length
    EXPECT_TRUE(std::all_of(image.begin() + 20, image.begin() + 64, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(image[64], pattern(1)[0]);
    EXPECT_TRUE(crc_good(image));

    EXPECT_EQ(build_image(spec_of(IMAGE_ROOTFS, 2), pattern(10)).size(), 30u) << "default 20";
}

TEST(BuildImage, Format3CarriesTheMarkerAndLenCoversTheHeaderRest)
{
    ImageSpec spec = spec_of(IMAGE_APPLICATION, 3, 32);
    std::vector<uint8_t> image = build_image(spec, pattern(84));
    ASSERT_EQ(image.size(), 116u);
    EXPECT_EQ(read_be32(&image[4]), 100u);
    EXPECT_EQ(read_be32(&image[8]), uint32_t(IMAGE_APPLICATION)) << "bit 31 clear by default";
    EXPECT_EQ(read_be32(&image[16]), FORMAT3_MARKER);
    EXPECT_EQ(read_be32(&image[20]), 32u);
    EXPECT_TRUE(crc_good(image));

    spec.set_bit31 = true;
    EXPECT_EQ(read_be32(&build_image(spec, pattern(84))[8]), 0x81504754u);
    EXPECT_EQ(build_image(spec_of(IMAGE_APPLICATION, 3), pattern(10)).size(), 34u) << "default 24";
}

TEST(BuildImage, RefusesSpecsThatCannotBeWritten)
{
    EXPECT_TRUE(build_image(spec_of(IMAGE_KERNEL, 0), pattern(10)).empty());
    EXPECT_TRUE(build_image(spec_of(IMAGE_KERNEL, 4), pattern(10)).empty());
    EXPECT_TRUE(build_image(spec_of(IMAGE_KERNEL, 2, 19), pattern(10)).empty());
    EXPECT_TRUE(build_image(spec_of(IMAGE_KERNEL, 3, 23), pattern(10)).empty());
    EXPECT_TRUE(build_image(spec_of(IMAGE_KERNEL, 3, 65536), pattern(10)).empty());
    EXPECT_TRUE(build_image(spec_of(IMAGE_KERNEL, 1, 20), pattern(10)).empty());
    EXPECT_EQ(build_image(spec_of(IMAGE_KERNEL, 3, 65535), pattern(1)).size(), 65536u);
}

TEST(BuildImage, BootLoaderHeaderCopySitsAtPayloadByte240)
{
    ImageSpec spec = spec_of(IMAGE_BOOTLOADER, 1);
    std::vector<uint8_t> payload = pattern(600);
    std::vector<uint8_t> plain = build_image(spec, payload);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), plain.begin() + 16)) << "kept as given";

    spec.embed_header_copy = true;
    std::vector<uint8_t> image = build_image(spec, payload);
    ASSERT_EQ(image.size(), 616u);
    const uint8_t* copy = &image[16 + BOOTLOADER_HEADER_OFFSET];
    EXPECT_EQ(read_be32(copy), 0u) << "the copy's crc cannot be known";
    EXPECT_EQ(0, memcmp(copy + 4, &image[4], 12));
    EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 240, image.begin() + 16));
    EXPECT_TRUE(std::equal(payload.begin() + 256, payload.end(), image.begin() + 16 + 256));
    EXPECT_TRUE(crc_good(image));

    // A payload too short to hold the copy is padded with zeros to 256 bytes.
    std::vector<uint8_t> small = build_image(spec, pattern(100));
    ASSERT_EQ(small.size(), 16u + 256u);
    EXPECT_EQ(read_be32(&small[4]), 256u);
    EXPECT_EQ(0, memcmp(&small[16 + 244], &small[4], 12));
    EXPECT_EQ(small[16 + 100], 0);
}

// ---- Names and versions -----------------------------------------------------------------------

TEST(BmimageNames, VersionsAreFourPartsFrom0To255)
{
    uint32_t id = 0;
    EXPECT_TRUE(parse_version("1.2.3.4", &id));
    EXPECT_EQ(id, 0x01020304u);
    EXPECT_TRUE(parse_version("255.0.255.0", &id));
    EXPECT_EQ(id, 0xFF00FF00u);
    EXPECT_TRUE(parse_version("007.0.0.1", &id));
    EXPECT_EQ(id, 0x07000001u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "1.2.3.4.", ".1.2.3",
                            "a.b.c.d", "1.2.3.-4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.0004", "+1.2.3.4"}) {
        id = 0x55555555;
        EXPECT_FALSE(parse_version(bad, &id)) << '"' << bad << '"';
        EXPECT_EQ(id, 0x55555555u) << '"' << bad << '"';
    }
}

TEST(BmimageNames, TypeNamesRoundTrip)
{
    const char* names[] = {"application", "bootloader", "kernel", "rootfs", "devicetree", "diagnostics"};
    for (uint32_t i = 0; i < 6; i++) {
        uint32_t type = 0;
        ASSERT_TRUE(parse_image_type(names[i], &type)) << names[i];
        EXPECT_EQ(type, 0x01504754u + (i << 24));
        EXPECT_EQ(image_type_name(type), names[i]);
    }
    uint32_t type = 0;
    EXPECT_FALSE(parse_image_type("Kernel", &type));
    EXPECT_FALSE(parse_image_type("", &type));
    EXPECT_EQ(image_type_name(0x07504754), "");
    EXPECT_EQ(image_type_name(0x81504754), "") << "a raw magic is not a type";
}

// ---- Listing ----------------------------------------------------------------------------------

TEST(ListPackage, ListsEveryImageWithItsFields)
{
    std::vector<uint8_t> kernel = build_image(spec_of(IMAGE_KERNEL, 1), pattern(1000));
    std::vector<uint8_t> app = build_image(spec_of(IMAGE_APPLICATION, 3, 32), pattern(84));
    std::vector<uint8_t> odd = build_image(spec_of(0x00ABCDEF, 2), pattern(8));
    std::vector<uint8_t> file = kernel;
    file.insert(file.end(), app.begin(), app.end());
    file.insert(file.end(), odd.begin(), odd.end());

    PackageListing listing = list_package(file);
    ASSERT_EQ(listing.entries.size(), 3u);
    EXPECT_FALSE(listing.malformed);
    EXPECT_EQ(listing.trailing_bytes, 0u);
    const PackageEntry& second = listing.entries[1];
    EXPECT_EQ(second.offset, 1016u);
    EXPECT_EQ(second.type, uint32_t(IMAGE_APPLICATION));
    EXPECT_EQ(second.format, 3);
    EXPECT_EQ(second.header_len, 32u);
    EXPECT_EQ(second.payload_len, 84u);
    EXPECT_EQ(second.total_len, 116u);
    EXPECT_EQ(second.id, 0x0A0B0C0Du);
    EXPECT_TRUE(second.crc_good);
    EXPECT_FALSE(second.truncated);
    EXPECT_EQ(listing.entries[2].type, 0x00ABCDEFu) << "bit 31 of a format-2 magic is cleared";
    EXPECT_EQ(listing.entries[2].offset, 1132u);
}

TEST(ListPackage, ReportsTruncationTrailingPiecesAndMalformedHeaders)
{
    std::vector<uint8_t> kernel = build_image(spec_of(IMAGE_KERNEL, 1), pattern(100));

    std::vector<uint8_t> cut(kernel.begin(), kernel.end() - 1);
    PackageListing truncated = list_package(cut);
    ASSERT_EQ(truncated.entries.size(), 1u);
    EXPECT_TRUE(truncated.entries[0].truncated);
    EXPECT_FALSE(truncated.entries[0].crc_good);

    std::vector<uint8_t> tail = kernel;
    tail.insert(tail.end(), 23, 0xEE);
    PackageListing trailing = list_package(tail);
    EXPECT_EQ(trailing.entries.size(), 1u);
    EXPECT_EQ(trailing.trailing_bytes, 23u);

    std::vector<uint8_t> bad = kernel;
    bad.insert(bad.end(), 24, 0);  // a header of all zeros: total length 16
    PackageListing malformed = list_package(bad);
    EXPECT_EQ(malformed.entries.size(), 1u);
    EXPECT_TRUE(malformed.malformed);

    EXPECT_TRUE(list_package({}).entries.empty());
}

// Every byte after the crc field is covered. A flipped payload byte shows as a bad CRC; a flipped
// header byte as a bad CRC, or, in a length field, as an image that no longer fits the file or
// lengths that cannot describe an image: never as a good image.
TEST(ListPackage, AFlippedByteAfterTheCrcFieldIsCaught)
{
    for (int format = 1; format <= 3; format++) {
        std::vector<uint8_t> image = build_image(spec_of(IMAGE_APPLICATION, format), pattern(61));
        ASSERT_TRUE(list_package(image).entries.at(0).crc_good);
        uint32_t header_len = parse_image_header(*reinterpret_cast<const HeaderProbe*>(image.data())).header_len;
        for (size_t at = 4; at < image.size(); at++) {
            std::vector<uint8_t> flipped = image;
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
