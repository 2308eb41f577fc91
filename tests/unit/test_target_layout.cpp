// What must hold on the switch's 32-bit big-endian PowerPC as much as on a 64-bit little-endian
// workstation: byte order of the image format, 64-bit file positions, and the sizes and kernel
// request numbers that the code and the device emulator rely on. The target build runs these
// under qemu-ppc.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "hw/flash.h"
#include "image/image_header.h"
#include "image_builder.h"

namespace {

static_assert(sizeof(off_t) == 8, "_FILE_OFFSET_BITS=64 must reach every file of the build");

// Every value below has four different bytes, so that a field loaded as a native integer on a
// little-endian machine, or byte-swapped once too often on a big-endian one, cannot pass.
TEST(TargetByteOrder, HeaderFieldsDecodeMostSignificantByteFirst)
{
    HeaderProbe probe = {{
        0xC3, 0x5A, 0x0F, 0x81,  // crc
        0x00, 0x01, 0x86, 0xA0,  // len 100000
        0x81, 0x50, 0x47, 0x54,  // magic IMAGE_APPLICATION with bit 31: format 2
        0x04, 0x03, 0x02, 0x01,  // id 4.3.2.1
        0x1F, 0x8B, 0x01, 0x40,  // format 2: bytes 16-17 unused, header_len 0x0140 = 320
        0x01, 0x02, 0x00, 0x20,  // format 3: bytes 20-21 unused, header_len 0x0020 = 32
    }};
    ImageHeader header = decode_image_header(probe.bytes);
    EXPECT_EQ(header.crc, 0xC35A0F81u);
    EXPECT_EQ(header.len, 100000u);
    EXPECT_EQ(header.magic, IMAGE_APPLICATION | MAGIC_FORMAT2_BIT);
    EXPECT_EQ(header.id, 0x04030201u);

    ImageLayout layout = parse_image_header(probe);
    EXPECT_EQ(layout.format, HEADER_FORMAT_2);
    EXPECT_EQ(layout.header_len, 320u);
    EXPECT_EQ(layout.total_len, 100320u);

    probe.bytes[8] = 0x01;
    memcpy(probe.bytes + 16, "HDR3", 4);
    layout = parse_image_header(probe);
    EXPECT_EQ(layout.format, HEADER_FORMAT_3);
    EXPECT_EQ(layout.header_len, 32u);
    EXPECT_EQ(layout.payload_len, 100000u - 32 + 16);

    uint8_t bytes[4];
    write_be32(bytes, FORMAT3_MARKER);
    EXPECT_EQ(0, memcmp(bytes, "HDR3", 4));
}

// A package whose first image ends past 2 GiB (negative in a 32-bit off_t or long, still within
// the unsigned 32-bit positions of the image format): the walk must seek there with a 64-bit
// position.
TEST(TargetLargeFiles, ImageSearchStepsPastAnImageThatEndsBeyond2GiB)
{
    const uint32_t far = 0x90000000u;
    FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr) << strerror(errno);
    uint8_t kernel[HEADER_PROBE_SIZE] = {}, back[IMAGE_HEADER_SIZE] = {};
    write_be32(kernel + 4, far - IMAGE_HEADER_SIZE);
    write_be32(kernel + 8, IMAGE_KERNEL);
    std::vector<uint8_t> app =
        build_image({.type = IMAGE_APPLICATION, .id = 0x0A0B0C0D}, std::vector<uint8_t>(64, 0x5A));
    EXPECT_EQ(pwrite(fileno(stream), kernel, sizeof kernel, 0), ssize_t(sizeof kernel));
    EXPECT_EQ(pwrite(fileno(stream), app.data(), app.size(), off_t(far)), ssize_t(app.size()));
    EXPECT_EQ(pread(fileno(stream), back, sizeof back, off_t(far)), ssize_t(sizeof back));
    EXPECT_EQ(0, memcmp(back, app.data(), sizeof back));

    uint32_t type = 0, header_len = 0, payload_len = 0;
    HeaderFormat format{};
    uint8_t copy[IMAGE_HEADER_SIZE] = {};
    EXPECT_TRUE(find_image_header(stream, &type, &format, &header_len, &payload_len, copy));
    EXPECT_EQ(type, uint32_t(IMAGE_APPLICATION));
    EXPECT_EQ(payload_len, 64u);
    EXPECT_EQ(ftello(stream), off_t(far));
    EXPECT_EQ(0, memcmp(copy, app.data(), IMAGE_HEADER_SIZE));
    fclose(stream);
}

TEST(TargetLayout, RecordsKernelStructuresRequestNumbersAndOpenFlags)
{
    // Read and written whole, so they must have no padding on any ABI.
    EXPECT_EQ(sizeof(ImageHeader), size_t(IMAGE_HEADER_SIZE));
    EXPECT_EQ(sizeof(HeaderProbe), size_t(HEADER_PROBE_SIZE));
    EXPECT_EQ(sizeof(MtdGeometry), 16u);

    EXPECT_EQ(sizeof(mtd_info_user), 32u);
    EXPECT_EQ(offsetof(mtd_info_user, size), 8u);
    EXPECT_EQ(offsetof(mtd_info_user, erasesize), 12u);
    EXPECT_EQ(sizeof(erase_info_user), 8u);
    EXPECT_EQ(offsetof(i2c_smbus_ioctl_data, size), 4u);
    EXPECT_EQ(offsetof(i2c_smbus_ioctl_data, data), 8u);
    EXPECT_EQ(sizeof(i2c_smbus_ioctl_data), 8 + sizeof(void*));
    EXPECT_EQ(I2C_SLAVE, 0x0703);
    EXPECT_EQ(I2C_SMBUS, 0x0720);
#if defined(__powerpc__) && !defined(__powerpc64__)
    // The PowerPC encoding puts the direction in other bits than most architectures.
    EXPECT_EQ(MEMGETINFO, 0x40204d01u);
    EXPECT_EQ(MEMERASE, 0x80084d02u);
    EXPECT_EQ(sizeof(void*), 4u);
    EXPECT_EQ(sizeof(long), 4u);
#elif defined(__x86_64__)
    EXPECT_EQ(MEMGETINFO, 0x80204d01u);
    EXPECT_EQ(MEMERASE, 0x40084d02u);
#endif

    // The synchronous-write bit alone; current libc's O_SYNC adds a second bit to it.
    EXPECT_EQ(O_RDWR | O_DSYNC, 0x1002);
    EXPECT_EQ(O_RDWR | O_NOCTTY | O_NONBLOCK, 0x902);
}

}  // namespace
