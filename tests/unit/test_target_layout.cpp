// What must hold on the switch's 32-bit big-endian PowerPC as much as on a 64-bit little-endian
// workstation: byte order of the image format and 64-bit file positions. The target build runs
// these under qemu-ppc.
// Faults tried (src/image/image_header.cpp) and the test that caught each:
//   16-bit fields read low byte first -> TargetByteOrder.HeaderFieldsDecodeMostSignificantByteFirst;
//   the walk seeking to a signed 32-bit position ->
//   TargetLargeFiles.ImageSearchStepsPastAnImageThatEndsBeyond2GiB.
#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

#include "image/image_header.h"
#include "image_builder.h"

namespace {

static_assert(sizeof(off_t) == 8, "_FILE_OFFSET_BITS=64 must reach every file of the build");

// Every value below has four different bytes, so that a field loaded as a native integer on a
// little-endian machine, or byte-swapped once too often on a big-endian one, cannot pass.
TEST(TargetByteOrder, HeaderFieldsDecodeMostSignificantByteFirst) {
    HeaderProbe probe = {{
        0xC3, 0x5A, 0x0F, 0x81,  // crc
        0x00, 0x01, 0x86, 0xA0,  // len 100000
        0x81, 0x50, 0x47, 0x54,  // magic IMAGE_APPLICATION with bit 31: format 2
        0x04, 0x03, 0x02, 0x01,  // id 4.3.2.1
        0x1F, 0x8B, 0x01, 0x40,  // format 2: bytes 16-17 unused, header_len 0x0140 = 320
        0x01, 0x02, 0x00, 0x20,  // format 3: bytes 20-21 unused, header_len 0x0020 = 32
    }};
    ImageHeader h = decode_image_header(probe.bytes);
    EXPECT_EQ(std::tuple(h.crc, h.len, h.magic, h.id), std::tuple(0xC35A0F81u, 100000u, 0x81504754u, 0x04030201u));
    ImageLayout l = parse_image_header(probe);
    EXPECT_EQ(std::tuple(l.format, l.header_len, l.total_len), std::tuple(HEADER_FORMAT_2, 320u, 100320u));
    probe.bytes[8] = 0x01;
    memcpy(probe.bytes + 16, "HDR3", 4);
    l = parse_image_header(probe);
    EXPECT_EQ(std::tuple(l.format, l.header_len, l.payload_len), std::tuple(HEADER_FORMAT_3, 32u, 100000u - 32 + 16));
}

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
    std::vector<uint8_t> app =
        build_image({.type = IMAGE_APPLICATION, .id = 0x0A0B0C0D}, std::vector<uint8_t>(64, 0x5A));
    EXPECT_EQ(pwrite(fileno(stream), kernel, sizeof kernel, 0), ssize_t(sizeof kernel));
    EXPECT_EQ(pwrite(fileno(stream), app.data(), app.size(), off_t(far)), ssize_t(app.size()));
    FoundImage found;
    EXPECT_TRUE(find_image_header(stream, &found));
    EXPECT_EQ(std::tuple(found.type, found.layout.payload_len, ftello(stream), memcmp(found.header, app.data(), 16)),
              std::tuple(uint32_t(IMAGE_APPLICATION), 64u, off_t(far), 0));
    fclose(stream);
}

}  // namespace
