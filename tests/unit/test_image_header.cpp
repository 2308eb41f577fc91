// The header formats, the sanity of lengths, the walk through a package, and the installed headers
// read back for the version checks. Faults tried and the test that caught them:
//   - find_image_header seeking back to the image read before the found one: FindImageHeader.WalkTable
//   - an image whose end lies past 2^32 refused before its type was looked at (the application
//     after a kernel not found): FindImageHeader.WalkTable
//   - a total under 24 bytes treated as malformed again:
//     PackageWalk.ShortImageIsAnImageForTheBootPathTheInstallerAndTheListing
//   - the boot loader's crc compared in same_version, or only the header compared (a body
//     damaged under a good header taken as installed):
//     InstalledHeader.SameVersionIsTheWholeImageAsInstalled
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "bmimage/image_builder.h"
#include "hw/flash.h"
#include "image/image_header.h"
#include "install/installed_header.h"
#include "install/installer.h"
#include "support/bytes.h"
#include "support/console_driver.h"
#include "support/test_board.h"

namespace {

// A header written field by field (id 0), with the 8 bytes that follow it.
Bytes raw_probe(uint32_t len, uint32_t magic, uint32_t word16 = 0, uint32_t word20 = 0) {
    Bytes bytes(HEADER_PROBE_SIZE, 0);
    write_be32(&bytes[4], len);
    write_be32(&bytes[8], magic);
    write_be32(&bytes[16], word16);
    write_be32(&bytes[20], word20);
    return bytes;
}

Bytes image_of(uint32_t type, uint32_t id, size_t payload_len, int format = 1) {
    return build_image({.type = type, .id = id, .format = format}, Bytes(payload_len, uint8_t(id + 0x40)));
}

// The format and lengths each header gives; cases without a header length have lengths that
// cannot describe an image (the walk's cases below cover the other malformed lengths).
TEST(ImageFormat, FormatTable) {
    // A format-1 payload that begins with the format-3 marker reads as format 3.
    Bytes marked(40, 0x77);
    write_be32(&marked[0], FORMAT3_MARKER);
    write_be32(&marked[4], 24);
    const uint32_t F2 = MAGIC_FORMAT2_BIT, KERNEL = IMAGE_KERNEL, F3 = FORMAT3_MARKER;
    const struct {
        const char* what;
        Bytes probe;
        HeaderFormat format{};
        uint32_t header_len = 0, payload_len = 0;
    } cases[] = {
        {"format 1", raw_probe(1000, IMAGE_APPLICATION), HEADER_FORMAT_1, 16, 1000},
        {"format 2, bit 31", raw_probe(1000, IMAGE_ROOTFS | F2, 64), HEADER_FORMAT_2, 64, 1000},
        {"format 3, bit 31 clear", raw_probe(100, KERNEL, F3, 32), HEADER_FORMAT_3, 32, 84},
        {"format 3, bit 31 set", raw_probe(100, KERNEL | F2, F3, 32), HEADER_FORMAT_3, 32, 84},
        {"format-1 payload with the marker", build_image({}, marked), HEADER_FORMAT_3, 24, 32},
        {"total 24", raw_probe(8, KERNEL), HEADER_FORMAT_1, 16, 8},
        {"no payload", raw_probe(0, KERNEL), HEADER_FORMAT_1, 16, 0},
        {"largest total", raw_probe(0xFFFFFFEFu, KERNEL), HEADER_FORMAT_1, 16, 0xFFFFFFEFu},
        {"format-2 header of 16", raw_probe(8, KERNEL | F2, 16), HEADER_FORMAT_2, 16, 8},
        {"format-3 header of 10", raw_probe(100, KERNEL, F3, 10)},
        {"format-1 total wraps to 0", raw_probe(0xFFFFFFF0u, KERNEL)},
        {"format-3 total wraps", raw_probe(0xFFFFFFF8u, KERNEL, F3, 24)},
    };
    for (const auto& c : cases) {
        HeaderProbe probe{};
        memcpy(probe.bytes, c.probe.data(), HEADER_PROBE_SIZE);
        ImageLayout l = parse_image_header(probe);
        EXPECT_EQ(image_layout_sane(l), c.header_len != 0) << c.what;
        if (c.header_len != 0) {
            EXPECT_EQ(
                std::tuple(l.format, l.magic, l.header_len, l.payload_len, l.total_len),
                std::tuple(c.format, read_be32(&c.probe[8]), c.header_len, c.payload_len, c.header_len + c.payload_len))
                << c.what;
        }
    }
}

// The walk steps over every other type to the first application or diagnostics image, and leaves
// the stream at its first byte. Each malformed length would make it stand still, go backwards or
// circle; the application image after it is never reached and the file counts as holding no image.
// A walk that does not end stops the test program after a few seconds instead of hanging it.
TEST(FindImageHeader, WalkTable) {
    Bytes kernel = image_of(IMAGE_KERNEL, 1, 1000), app = image_of(IMAGE_APPLICATION, 1, 100);
    Bytes others = joined({image_of(IMAGE_BOOTLOADER, 1, 300), image_of(IMAGE_ROOTFS, 2, 77, 2),
                           image_of(IMAGE_DEVICETREE, 3, 41, 3), image_of(0x7ABCDEF0, 4, 9)});
    auto after_kernel = [&](const Bytes& bad) { return joined({kernel, bad, Bytes(40), app}); };
    const uint32_t KERNEL = IMAGE_KERNEL, F2 = MAGIC_FORMAT2_BIT;
    // at: the offset of the image found or else of the last header looked at; -1 for none.
    const struct {
        const char* what;
        Bytes file;
        long at;
        uint32_t found = 0;
        HeaderFormat format{};
        uint32_t header_len = 0;
        uint32_t payload_len = 0;  // 0: the rest of the file
    } cases[] = {
        {"kernel, application", joined({kernel, image_of(IMAGE_APPLICATION, 2, 500, 3)}), 1016, IMAGE_APPLICATION,
         HEADER_FORMAT_3, 24},
        {"other types, diagnostics", joined({others, image_of(IMAGE_DIAGNOSTICS, 5, 64)}), long(others.size()),
         IMAGE_DIAGNOSTICS, HEADER_FORMAT_1, 16},
        {"format 2, its copy keeping bit 31", image_of(IMAGE_APPLICATION, 7, 100, 2), 0, IMAGE_APPLICATION,
         HEADER_FORMAT_2, 20},
        {"shorter than a header", Bytes(app.begin(), app.begin() + 23), -1},
        {"no bootable image", joined({image_of(IMAGE_ROOTFS, 1, 50), kernel}), 66},
        {"last image too short", joined({kernel, image_of(IMAGE_APPLICATION, 1, 7)}), 0},
        {"malformed application", joined({raw_probe(4, IMAGE_APPLICATION | F2, 8), Bytes(76)}), 0},
        {"total 0", after_kernel(raw_probe(0, KERNEL | F2)), 1016},
        {"header under 16", after_kernel(raw_probe(0xFFFFFFFCu, KERNEL | F2, 4)), 1016},
        {"negative format-3 payload", after_kernel(raw_probe(0, KERNEL, FORMAT3_MARKER, 0xFFF0)), 1016},
        // From offset 1016, a total of 2^32 - 1016 lands on offset 0 again.
        {"wraps to the start", after_kernel(raw_probe(0xFFFFFFFFu - 1016 - 15, KERNEL)), 1016},
        // Only the step beyond an image ending past 2^32 would wrap: a bootable one is found.
        {"application ending past 2^32",
         joined({image_of(IMAGE_KERNEL, 1, 300), raw_probe(0xFFFFFF00u, IMAGE_APPLICATION)}), 316, IMAGE_APPLICATION,
         HEADER_FORMAT_1, 16, 0xFFFFFF00u},
    };
    for (const auto& c : cases) {
        FILE* stream = tmpfile();
        fwrite(c.file.data(), 1, c.file.size(), stream);
        rewind(stream);
        FoundImage image;
        memset(image.header, 0xAA, IMAGE_HEADER_SIZE);
        alarm(5);
        bool found = find_image_header(stream, &image);
        alarm(0);
        Bytes copy(image.header, image.header + IMAGE_HEADER_SIZE);
        EXPECT_EQ(copy, c.at < 0 ? Bytes(IMAGE_HEADER_SIZE, 0) : Bytes(&c.file[c.at], &c.file[c.at + 16])) << c.what;
        EXPECT_EQ(found, c.found != 0) << c.what;
        if (found && c.found) {
            const ImageLayout& l = image.layout;
            EXPECT_EQ(std::tuple(image.type, l.format, l.header_len, l.payload_len, ftell(stream), image.position),
                      std::tuple(c.found, c.format, c.header_len,
                                 c.payload_len ? c.payload_len : uint32_t(c.file.size() - c.at - c.header_len), c.at,
                                 uint64_t(c.at)))
                << c.what;
        }
        fclose(stream);
    }
}

// A well-formed image of 16 to 23 bytes is an image like any other for every walker: the boot
// path steps over it, the installer installs it, bmimage lists it. (Only a last piece too short
// for a whole 24-byte probe is never examined: the walk table's "last image too short".)
TEST(PackageWalk, ShortImageIsAnImageForTheBootPathTheInstallerAndTheListing) {
    TestBoard board;
    flash_open_partitions();
    Bytes kernel = image_of(IMAGE_KERNEL, 2, 4), dft = image_of(IMAGE_DEVICETREE, 3, 0);
    Bytes diags = image_of(IMAGE_DIAGNOSTICS, 4, 100), package = joined({kernel, dft, diags});
    FILE* stream = tmpfile();
    fwrite(package.data(), 1, package.size(), stream);
    rewind(stream);
    FoundImage found;
    EXPECT_TRUE(find_image_header(stream, &found));
    EXPECT_EQ(std::pair(found.type, found.position), std::pair(uint32_t(IMAGE_DIAGNOSTICS), uint64_t(36)));
    fclose(stream);
    PackageListing listing = list_package(package);
    ASSERT_EQ(listing.entries.size(), 3u);
    EXPECT_EQ(std::pair(listing.entries[0].total_len, listing.entries[1].total_len), std::pair(20u, 16u));
    write_binary_file(board.path("package"), package);
    capture_stdout([&] { EXPECT_EQ(install_package(board.path("package").c_str(), 0, 0), INSTALL_DONE); });
    for (auto [partition, image] : {std::pair{"kernel", kernel}, {"devicetree", dft}, {"rescue", diags}})
        EXPECT_TRUE(std::equal(image.begin(), image.end(), board.partition(partition).begin())) << partition;
}

// A board holding one image of each flash type, installed as a package.
struct InstalledHeader : testing::Test {
    TestBoard board;
    Bytes boot = build_image({.type = IMAGE_BOOTLOADER, .id = 0x07060504, .embed_header_copy = true}, Bytes(1000, 7));
    std::vector<Bytes> images = {boot};
    std::string shown;
    void SetUp() override {
        flash_open_partitions();
        for (uint32_t type : {IMAGE_KERNEL, IMAGE_ROOTFS, IMAGE_DEVICETREE, IMAGE_DIAGNOSTICS})
            images.push_back(image_of(type, type >> 24, 100 + type % 7, 2));
        write_binary_file(board.path("package"), joined({images[0], images[1], images[2], images[3], images[4]}));
        capture_stdout([&] { install_package(board.path("package").c_str(), 0, 0); });
    }
    std::pair<bool, Bytes> read(uint32_t type) {
        Bytes header(IMAGE_HEADER_SIZE, 0xAA);
        bool result = false;
        shown = capture_stdout([&] { result = read_installed_header(type, header.data(), 1); });
        return std::pair(result, header);
    }
    static bool same(const Bytes& image) {
        PackageWalk walk = walk_buffer(image.data(), image.size());
        FoundImage found;
        bool result = false;
        capture_stdout(
            [&] { result = walk_next(&walk, &found) == WALK_IMAGE && same_version(image.data(), found.layout, 1); });
        return result;
    }
};

// Each flash type's header reads back from where the installer put it: the boot loader's copy
// at byte 240 of "uboot" (its payload alone is written, and the copy cannot hold its own crc),
// every other type from the start of its partition.
TEST_F(InstalledHeader, FlashTypesReadBackWhereInstalled) {
    for (const Bytes& image : images) {
        Bytes expected(image.begin(), image.begin() + IMAGE_HEADER_SIZE);
        if (image == boot) std::fill_n(expected.begin(), 4, 0);
        EXPECT_EQ(read(read_be32(&image[8]) & IMAGE_TYPE_MASK), std::pair(true, expected)) << read_be32(&image[8]);
    }
    // An unreadable partition reads as zeros, and true; an unknown type as zeros, and false.
    const Bytes zeros(IMAGE_HEADER_SIZE, 0);
    close(flash_partitions.kernel);
    flash_partitions.kernel = -1;
    EXPECT_EQ(read(IMAGE_KERNEL), std::pair(true, zeros));
    EXPECT_EQ(read(0x07504754), std::pair(false, zeros));
    EXPECT_EQ(shown, "Unknown image type 0x7504754 \n");
}

// The boot loader leaves the crc out of the version comparison; every other type compares all
// 16 bytes, and then the whole image installed.
TEST_F(InstalledHeader, SameVersionIsTheWholeImageAsInstalled) {
    const Bytes& rfs = images[2];
    auto flipped = [](Bytes header, size_t at, uint8_t mask = 0x81) {
        header[at] ^= mask;
        return header;
    };
    const struct {
        const char* what;
        Bytes header;
        bool same;
    } cases[] = {{"boot loader as installed", boot, true},
                 {"boot loader, another crc", flipped(boot, 0), true},
                 {"boot loader, another len", flipped(boot, 7), false},
                 {"file system as installed", rfs, true},
                 {"file system, another crc", flipped(rfs, 0), false},
                 {"file system, another id", flipped(rfs, 15), false},
                 {"file system, another type", flipped(rfs, 8, 0x0D), false}};
    for (const auto& c : cases) EXPECT_EQ(same(c.header), c.same) << c.what;
    // A matching header over a damaged body (an install cut short) is not the same version.
    for (auto [partition, at] : {std::pair{"rfs", 100}, {"uboot", 500}}) {
        Bytes content = board.partition(partition), damaged = content;
        damaged[at] ^= 0x10;
        board.set_partition(partition, damaged);
        EXPECT_FALSE(same(partition == std::string("rfs") ? rfs : boot)) << partition;
        board.set_partition(partition, content);
    }
}

}  // namespace
