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
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hw/flash.h"
#include "image/image_header.h"
#include "image_builder.h"

namespace {

// Every value below has four different bytes, so that a field loaded as a native integer on a
// little-endian machine, or byte-swapped once too often on a big-endian one, cannot pass.
const uint8_t format1_header[HEADER_PROBE_SIZE] = {
    0xC3, 0x5A, 0x0F, 0x81,  // crc
    0x00, 0x01, 0x86, 0xA0,  // len 100000
    0x01, 0x50, 0x47, 0x54,  // magic IMAGE_APPLICATION
    0x04, 0x03, 0x02, 0x01,  // id 4.3.2.1
    0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00,  // payload
};

TEST(TargetByteOrder, HeaderFieldsDecodeMostSignificantByteFirst)
{
    ImageHeader header = decode_image_header(format1_header);
    EXPECT_EQ(header.crc, 0xC35A0F81u);
    EXPECT_EQ(header.len, 100000u);
    EXPECT_EQ(header.magic, uint32_t(IMAGE_APPLICATION));
    EXPECT_EQ(header.id, 0x04030201u);
    EXPECT_EQ(read_be16(format1_header + 4 + 2), 0x86A0u);

    char version[16];
    format_version(header.id, version);
    EXPECT_STREQ(version, "4.3.2.1");
}

TEST(TargetByteOrder, EncodedWordStartsWithItsMostSignificantByte)
{
    uint8_t bytes[4];
    write_be32(bytes, 0x48445233);
    EXPECT_EQ(0, memcmp(bytes, "HDR3", 4));
    EXPECT_EQ(read_be32(bytes), FORMAT3_MARKER);
}

TEST(TargetByteOrder, HeaderLengthsOfFormats2And3DecodeMostSignificantByteFirst)
{
    HeaderProbe probe{};
    memcpy(probe.bytes, format1_header, IMAGE_HEADER_SIZE);

    probe.bytes[8] = 0x81;                       // bit 31 of magic: format 2
    probe.bytes[18] = 0x01;                      // header_len 0x0140 = 320
    probe.bytes[19] = 0x40;
    ImageLayout layout = parse_image_header(probe);
    EXPECT_EQ(layout.format, HEADER_FORMAT_2);
    EXPECT_EQ(layout.magic, 0x81504754u);
    EXPECT_EQ(layout.header_len, 320u);
    EXPECT_EQ(layout.payload_len, 100000u);
    EXPECT_EQ(layout.total_len, 100320u);

    probe.bytes[8] = 0x01;
    write_be32(probe.bytes + 16, FORMAT3_MARKER);
    probe.bytes[20] = 0x01;                      // not interpreted
    probe.bytes[21] = 0x02;
    probe.bytes[22] = 0x00;                      // header_len 0x0020 = 32
    probe.bytes[23] = 0x20;
    layout = parse_image_header(probe);
    EXPECT_EQ(layout.format, HEADER_FORMAT_3);
    EXPECT_EQ(layout.header_len, 32u);
    EXPECT_EQ(layout.payload_len, 100000u - 32 + 16);
    EXPECT_EQ(layout.total_len, 100016u);
}

TEST(TargetByteOrder, CrcOfAnImageBuiltByTheToolsChecks)
{
    std::vector<uint8_t> image = build_image({.type = IMAGE_KERNEL, .id = 0x01020304}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    ImageHeader header = decode_image_header(image.data());
    EXPECT_FALSE(image_crc_bad(image.data() + 4, uint32_t(image.size() - 4), header.crc));
    EXPECT_EQ(crc32_update(reinterpret_cast<const uint8_t*>("123456789"), 9, 0xFFFFFFFF), 0x340BC6D9u);
}

// A sparse scratch file, removed at the end of the test.
struct ScratchFile {
    std::string path;
    int fd = -1;

    ScratchFile()
    {
        const char* dir = getenv("TMPDIR");
        path = std::string(dir ? dir : "/tmp") + "/bm_target_XXXXXX";
        fd = mkstemp(path.data());
    }
    ~ScratchFile()
    {
        if (fd >= 0) {
            close(fd);
            unlink(path.c_str());
        }
    }
};

// Past 2 GiB: negative in a 32-bit off_t or long, still within the unsigned 32-bit positions
// of the image format.
constexpr uint32_t FAR_POSITION = 0x90000000u;

TEST(TargetLargeFiles, FilePositionsHave64Bits)
{
    static_assert(sizeof(off_t) == 8, "_FILE_OFFSET_BITS=64 must reach every file of the build");
    EXPECT_EQ(sizeof(off_t), 8u);
}

TEST(TargetLargeFiles, DescriptorsAndStreamsReachPast2GiB)
{
    ScratchFile file;
    ASSERT_GE(file.fd, 0);
    const uint8_t mark[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(pwrite(file.fd, mark, 4, off_t(FAR_POSITION)), 4);

    uint8_t back[4] = {};
    ASSERT_EQ(pread(file.fd, back, 4, off_t(FAR_POSITION)), 4);
    EXPECT_EQ(0, memcmp(back, mark, 4));

    // A 32-bit stream refuses to open a file this large at all.
    FILE* stream = fopen(file.path.c_str(), "rb");
    ASSERT_NE(stream, nullptr) << strerror(errno);
    ASSERT_EQ(fseeko(stream, off_t(FAR_POSITION), SEEK_SET), 0);
    EXPECT_EQ(ftello(stream), off_t(FAR_POSITION));
    memset(back, 0, sizeof back);
    EXPECT_EQ(fread(back, 4, 1, stream), 1u);
    EXPECT_EQ(0, memcmp(back, mark, 4));
    fclose(stream);
}

// A package whose first image ends past 2 GiB: the walk must seek there with a 64-bit
// position, as image positions are unsigned 32-bit.
TEST(TargetLargeFiles, ImageSearchStepsPastAnImageThatEndsBeyond2GiB)
{
    ScratchFile file;
    ASSERT_GE(file.fd, 0);
    uint8_t kernel[HEADER_PROBE_SIZE] = {};
    write_be32(kernel + 4, FAR_POSITION - IMAGE_HEADER_SIZE);
    write_be32(kernel + 8, IMAGE_KERNEL);
    ASSERT_EQ(pwrite(file.fd, kernel, sizeof kernel, 0), ssize_t(sizeof kernel));
    std::vector<uint8_t> app = build_image({.type = IMAGE_APPLICATION, .id = 0x0A0B0C0D}, std::vector<uint8_t>(64, 0x5A));
    ASSERT_EQ(pwrite(file.fd, app.data(), app.size(), off_t(FAR_POSITION)), ssize_t(app.size()));

    FILE* stream = fopen(file.path.c_str(), "rb");
    ASSERT_NE(stream, nullptr) << strerror(errno);
    uint32_t type = 0, header_len = 0, payload_len = 0;
    HeaderFormat format{};
    uint8_t copy[IMAGE_HEADER_SIZE] = {};
    EXPECT_TRUE(find_image_header(stream, &type, &format, &header_len, &payload_len, copy));
    EXPECT_EQ(type, uint32_t(IMAGE_APPLICATION));
    EXPECT_EQ(payload_len, 64u);
    EXPECT_EQ(ftello(stream), off_t(FAR_POSITION));
    EXPECT_EQ(0, memcmp(copy, app.data(), IMAGE_HEADER_SIZE));
    fclose(stream);
}

TEST(TargetLayout, FormatRecordsHaveTheirFileSizes)
{
    // Read and written whole, so they must have no padding on any ABI.
    EXPECT_EQ(sizeof(ImageHeader), size_t(IMAGE_HEADER_SIZE));
    EXPECT_EQ(sizeof(HeaderProbe), size_t(HEADER_PROBE_SIZE));
    EXPECT_EQ(sizeof(MtdGeometry), 16u);
    EXPECT_EQ(offsetof(MtdGeometry, block_count), 0u);
    EXPECT_EQ(offsetof(MtdGeometry, erase_size), 4u);
    EXPECT_EQ(offsetof(MtdGeometry, erase_shift), 8u);
    EXPECT_EQ(offsetof(MtdGeometry, size), 12u);
}

TEST(TargetLayout, KernelStructuresMatchTheRequestNumbers)
{
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
}

TEST(TargetLayout, OpenFlagsHaveTheBoardValues)
{
    // The synchronous-write bit alone; current libc's O_SYNC adds a second bit to it.
    EXPECT_EQ(O_RDWR | O_DSYNC, 0x1002);
    EXPECT_EQ(O_RDWR | O_NOCTTY | O_NONBLOCK, 0x902);
}

}  // namespace
