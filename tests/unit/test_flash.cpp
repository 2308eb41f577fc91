// MTD flash access on the emulated partitions: geometry, the block rewrite with its percent
// display and its failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "devices.h"
#include "hw/flash.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t E = 65536;
const std::string CLOSING = "\b\b\b\b100%\n";

std::vector<uint8_t> pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t count)
{
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

class FlashTest : public ::testing::Test {
protected:
    TestBoard board;
    int fd = -1;

    void SetUp() override
    {
        fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC);
        ASSERT_GE(fd, 0);
        board.clear_log();
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
    }

    int write_kernel(const std::vector<uint8_t>& data, uint32_t offset, bool progress, std::string* out)
    {
        int result = 0;
        *out = capture_stdout([&] { result = flash_write(data.data(), fd, offset, data.size(), progress); });
        return result;
    }

    std::vector<std::string> requests(const std::vector<std::string>& prefixes = {"mtd-kernel"})
    {
        return log_lines_starting(board.log(), prefixes);
    }
};

TEST_F(FlashTest, OpensTheSixPartitionsWithTheirFlags)
{
    EXPECT_EQ(flash_open_partitions(), 1);
    EXPECT_GE(flash_partitions.uboot, 0);
    EXPECT_GE(flash_partitions.rescue, 0);
    std::vector<std::string> opens = log_lines_starting(board.log(), {"open "});
    std::vector<std::string> expected = {
        "open /dev/mtd-uboot O_RDWR|O_DSYNC",      "open /dev/mtd-ubootenv O_RDWR|O_DSYNC",
        "open /dev/mtd-devicetree O_RDWR|O_DSYNC", "open /dev/mtd-kernel O_RDWR|O_DSYNC",
        "open /dev/mtd-rfs O_RDWR|O_DSYNC",        "open /dev/mtd-rescue O_RDWR",
    };
    EXPECT_EQ(opens, expected);
}

TEST_F(FlashTest, APartitionThatDoesNotOpenIsRefusedAtEveryAccess)
{
    board.set_faults("missing /dev/mtd-rfs\n");
    EXPECT_EQ(flash_open_partitions(), 1);
    EXPECT_EQ(flash_partitions.rfs, -1);
    EXPECT_GE(flash_partitions.kernel, 0);

    uint8_t buffer[16];
    int result = 0;
    std::string out = capture_stdout([&] { result = flash_read(buffer, flash_partitions.rfs, 0, 16); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "Could not get MTD device info \n");
    out = capture_stdout([&] { result = flash_write(buffer, -1, 0, 16, 1); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "Could not get MTD device info \n");
}

TEST_F(FlashTest, GeometryOfTheDefaultPartition)
{
    MtdGeometry geometry{};
    ASSERT_TRUE(mtd_get_geometry(fd, &geometry));
    EXPECT_EQ(geometry.block_count, 48u);
    EXPECT_EQ(geometry.erase_size, E);
    EXPECT_EQ(geometry.erase_shift, 16u);
    EXPECT_EQ(geometry.size, 3u * 1024 * 1024);
}

TEST_F(FlashTest, UnusableEraseSizesAreRefusedAtTheGeometryQuery)
{
    for (uint32_t erase_size : {0u, 3000u, 98304u, 512u}) {
        SCOPED_TRACE(erase_size);
        board.set_erase_size("kernel", erase_size);
        board.clear_log();
        MtdGeometry geometry{7, 7, 7, 7};
        std::string out = capture_stdout([&] { EXPECT_FALSE(mtd_get_geometry(fd, &geometry)); });
        EXPECT_EQ(out, "MTD device erase size " + std::to_string(erase_size) +
                           " not supported: it must be a power of two and a multiple of 1024\n");
        EXPECT_EQ(geometry.erase_size, 7u) << "the geometry is left untouched";

        std::vector<uint8_t> data(10, 0x00);
        std::string written;
        EXPECT_EQ(write_kernel(data, 100, true, &written), -1);
        EXPECT_EQ(requests({"mtd-kernel erase", "mtd-kernel pwrite", "mtd-kernel pread"}).size(), 0u);
        uint8_t buffer[4];
        capture_stdout([&] { EXPECT_EQ(flash_read(buffer, fd, 0, 4), -1); });
    }
    EXPECT_EQ(board.partition("kernel"), std::vector<uint8_t>(3 * 1024 * 1024, 0xFF));
}

TEST_F(FlashTest, AnotherPowerOfTwoEraseSizeIsUsed)
{
    board.set_erase_size("kernel", 131072);
    MtdGeometry geometry{};
    ASSERT_TRUE(mtd_get_geometry(fd, &geometry));
    EXPECT_EQ(geometry.erase_shift, 17u);
    EXPECT_EQ(geometry.block_count, 24u);

    std::vector<uint8_t> data = pattern(200000, 3);
    std::string out;
    ASSERT_EQ(write_kernel(data, 0, false, &out), 0);
    EXPECT_EQ(slice(board.partition("kernel"), 0, data.size()), data);
    EXPECT_EQ(requests({"mtd-kernel erase"}),
              (std::vector<std::string>{"mtd-kernel erase 0 131072", "mtd-kernel erase 131072 131072"}));
}

TEST_F(FlashTest, RewritingARangeErasesFirst)
{
    // NOR flash only clears bits: without the erase the second image would come out as the
    // AND of both.
    std::vector<uint8_t> first = pattern(3 * E, 0x11);
    std::vector<uint8_t> second = pattern(3 * E, 0xA5);
    for (uint8_t& byte : second)
        byte = static_cast<uint8_t>(~byte);
    std::string out;
    ASSERT_EQ(write_kernel(first, 0, false, &out), 0);
    ASSERT_EQ(write_kernel(second, 0, false, &out), 0);
    EXPECT_EQ(out, "");
    std::vector<uint8_t> stored = board.partition("kernel");
    EXPECT_TRUE(slice(stored, 0, second.size()) == second);
    EXPECT_EQ(stored[3 * E], 0xFF) << "the block after the range is not touched";
}

TEST_F(FlashTest, EachBlockIsReadErasedAndWrittenInKilobyteChunks)
{
    std::vector<uint8_t> data = pattern(2 * E, 1);
    std::string out;
    ASSERT_EQ(write_kernel(data, E, false, &out), 0);
    std::vector<std::string> log = requests();
    ASSERT_EQ(log.size(), 1u + 2 * (2 + 64));
    EXPECT_EQ(log[0], "mtd-kernel getinfo size 3145728 erasesize 65536");
    EXPECT_EQ(log[1], "mtd-kernel pread 65536 65536");
    EXPECT_EQ(log[2], "mtd-kernel erase 65536 65536");
    EXPECT_EQ(log[3], "mtd-kernel pwrite 65536 1024");
    EXPECT_EQ(log[66], "mtd-kernel pwrite 130048 1024");
    EXPECT_EQ(log[67], "mtd-kernel pread 131072 65536");
    EXPECT_EQ(log[68], "mtd-kernel erase 131072 65536");
    EXPECT_EQ(log.back(), "mtd-kernel pwrite 195584 1024");
}

TEST_F(FlashTest, PercentDisplayForThreeBlocks)
{
    std::string out;
    ASSERT_EQ(write_kernel(pattern(3 * E, 9), 0, true, &out), 0);
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%" + CLOSING);
}

TEST_F(FlashTest, FailingEraseOnTheSecondOfThreeBlocksStops)
{
    std::vector<uint8_t> old_content = pattern(3 * 1024 * 1024, 0x40);
    board.set_partition("kernel", old_content);
    board.set_faults("fail kernel erase 2\n");
    std::vector<uint8_t> data = pattern(3 * E, 0x77);
    std::string out;
    EXPECT_EQ(write_kernel(data, 0, true, &out), -1);
    EXPECT_EQ(out, "     \b\b\b\b000%Flash Write mtd erase failed.\n\n");

    std::vector<uint8_t> stored = board.partition("kernel");
    EXPECT_TRUE(slice(stored, 0, E) == slice(data, 0, E)) << "the first block holds its new content";
    EXPECT_TRUE(slice(stored, 2 * E, E) == slice(old_content, 2 * E, E)) << "the third block is not reached";
    EXPECT_EQ(requests({"mtd-kernel erase"}).size(), 2u);
    EXPECT_EQ(requests({"mtd-kernel pread 131072"}).size(), 0u);
}

TEST_F(FlashTest, ReadAndWriteFailuresHaveTheirOwnMessages)
{
    std::vector<uint8_t> data = pattern(E, 2);
    std::string out;
    board.set_faults("fail kernel read 1\n");
    EXPECT_EQ(write_kernel(data, 0, false, &out), -1);
    EXPECT_EQ(out, "Flash Write mtd read failed.\n\n");
    EXPECT_EQ(requests({"mtd-kernel erase"}).size(), 0u);

    sim_devices_attach(board.dir.c_str());  // counters start again
    board.clear_log();
    board.set_faults("fail kernel write 3\n");
    EXPECT_EQ(write_kernel(data, 0, true, &out), -1);
    EXPECT_EQ(out, "     Flash Write mtd write failed.\n\n");
    EXPECT_EQ(requests({"mtd-kernel pwrite"}).size(), 3u) << "the first failing write ends the rewrite";
}

TEST_F(FlashTest, LengthZeroAtABlockBoundaryTouchesNothing)
{
    for (uint32_t offset : {0u, E, 5 * E}) {
        SCOPED_TRACE(offset);
        board.clear_log();
        std::string out;
        EXPECT_EQ(write_kernel({}, offset, true, &out), 0);
        EXPECT_EQ(out, "     " + CLOSING);
        EXPECT_EQ(requests(), std::vector<std::string>{"mtd-kernel getinfo size 3145728 erasesize 65536"});
    }
}

TEST_F(FlashTest, LengthZeroInsideABlockRewritesItUnchanged)
{
    std::vector<uint8_t> old_content = pattern(3 * 1024 * 1024, 0x33);
    board.set_partition("kernel", old_content);
    std::string out;
    EXPECT_EQ(write_kernel({}, E + 100, true, &out), 0);
    EXPECT_EQ(out, "     \b\b\b\b000%" + CLOSING);
    EXPECT_EQ(requests({"mtd-kernel erase"}), std::vector<std::string>{"mtd-kernel erase 65536 65536"});
    EXPECT_EQ(requests({"mtd-kernel pwrite"}).size(), 64u);
    EXPECT_TRUE(board.partition("kernel") == old_content);
}

TEST_F(FlashTest, SmallRangeInsideOneBlockChangesOnlyItsBytes)
{
    std::vector<uint8_t> old_content = pattern(3 * 1024 * 1024, 0x5C);
    board.set_partition("kernel", old_content);
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::string out;
    EXPECT_EQ(write_kernel(data, 100, false, &out), 0);
    std::vector<uint8_t> expected = old_content;
    std::copy(data.begin(), data.end(), expected.begin() + 100);
    EXPECT_TRUE(board.partition("kernel") == expected);
    EXPECT_EQ(requests({"mtd-kernel erase"}), std::vector<std::string>{"mtd-kernel erase 0 65536"});
}

TEST_F(FlashTest, RangeSpanningTwoBlocksKeepsTheBytesAroundIt)
{
    std::vector<uint8_t> old_content = pattern(3 * 1024 * 1024, 0x21);
    board.set_partition("kernel", old_content);
    std::vector<uint8_t> data = pattern(E, 0x99);
    const uint32_t offset = E + 300;
    std::string out;
    EXPECT_EQ(write_kernel(data, offset, true, &out), 0);
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b050%" + CLOSING);
    std::vector<uint8_t> expected = old_content;
    std::copy(data.begin(), data.end(), expected.begin() + offset);
    EXPECT_TRUE(board.partition("kernel") == expected);
    EXPECT_EQ(requests({"mtd-kernel erase"}),
              (std::vector<std::string>{"mtd-kernel erase 65536 65536", "mtd-kernel erase 131072 65536"}));
}

TEST_F(FlashTest, RangeRunningPastTheEndFailsAtTheFirstBlockBeyondIt)
{
    std::vector<uint8_t> data = pattern(20, 4);
    std::string out;
    EXPECT_EQ(write_kernel(data, 3 * 1024 * 1024 - 10, false, &out), -1);
    EXPECT_EQ(out, "Flash Write mtd erase failed.\n\n");
    std::vector<uint8_t> stored = board.partition("kernel");
    EXPECT_TRUE(slice(stored, stored.size() - 10, 10) == slice(data, 0, 10));
}

TEST_F(FlashTest, FlashReadReadsTheRangeAndPrintsNothingOnFailure)
{
    std::vector<uint8_t> content = pattern(3 * 1024 * 1024, 0x10);
    board.set_partition("kernel", content);
    uint8_t buffer[16] = {};
    std::string out = capture_stdout([&] { EXPECT_EQ(flash_read(buffer, fd, 240, 16), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(std::memcmp(buffer, content.data() + 240, 16), 0);

    board.set_faults("fail kernel read\n");
    out = capture_stdout([&] { EXPECT_EQ(flash_read(buffer, fd, 0, 16), -1); });
    EXPECT_EQ(out, "");
}

}  // namespace
