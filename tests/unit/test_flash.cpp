// MTD flash access on the emulated partitions: geometry, the block rewrite with its percent
// display and its failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "devices.h"
#include "hw/flash.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t E = 65536, SIZE = 3 * 1024 * 1024;
const std::string START = "     ", P0 = "\b\b\b\b000%", CLOSING = "\b\b\b\b100%\n";

std::vector<uint8_t> pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

class FlashTest : public ::testing::Test {
protected:
    TestBoard board;
    int fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC);
    void TearDown() override { close(fd); }

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
    // How many blocks were read and erased (failed requests included), and chunks written.
    std::string counts()
    {
        return "r" + std::to_string(requests({"mtd-kernel pread"}).size()) + " e" +
               std::to_string(requests({"mtd-kernel erase"}).size()) + " w" +
               std::to_string(requests({"mtd-kernel pwrite"}).size());
    }
};

// A partition that does not open is refused at every access.
TEST_F(FlashTest, OpensTheSixPartitionsWithTheirFlags)
{
    board.set_faults("missing /dev/mtd-rfs\n");
    board.clear_log();
    EXPECT_EQ(flash_open_partitions(), 1);
    EXPECT_EQ(requests({"open "}),
              (std::vector<std::string>{"open /dev/mtd-uboot O_RDWR|O_DSYNC", "open /dev/mtd-ubootenv O_RDWR|O_DSYNC",
                                        "open /dev/mtd-devicetree O_RDWR|O_DSYNC", "open /dev/mtd-kernel O_RDWR|O_DSYNC",
                                        "open /dev/mtd-rfs O_RDWR|O_DSYNC failed ENOENT (injected)",
                                        "open /dev/mtd-rescue O_RDWR"}));
    EXPECT_GE(flash_partitions.uboot, 0);
    EXPECT_GE(flash_partitions.rescue, 0);
    EXPECT_EQ(flash_partitions.rfs, -1);
    uint8_t buffer[16];
    std::string out = capture_stdout([&] {
        EXPECT_EQ(flash_read(buffer, flash_partitions.rfs, 0, 16), -1);
        EXPECT_EQ(flash_write(buffer, -1, 0, 16, 1), -1);
    });
    EXPECT_EQ(out, "Could not get MTD device info \nCould not get MTD device info \n");
}

// An erase size of 0, not a power of two, or below 1024 would break the block arithmetic: it
// is refused at the geometry query, before any request; another power of two is used as it is.
TEST_F(FlashTest, EraseSizeMustBeAPowerOfTwoAndAMultipleOf1024)
{
    const std::vector<uint8_t> data = pattern(200000, 3);
    for (auto [erase_size, shift] : {std::pair{E, 16u}, {131072u, 17u}, {0u, 0u}, {3000u, 0u}, {98304u, 0u}, {512u, 0u}}) {
        SCOPED_TRACE(erase_size);
        const bool usable = shift != 0;
        board.set_erase_size("kernel", erase_size);
        board.set_partition("kernel", std::vector<uint8_t>(SIZE, 0xFF));
        board.clear_log();
        MtdGeometry geometry{7, 7, 7, 7};
        EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(mtd_get_geometry(fd, &geometry), usable); }),
                  usable ? "" : "MTD device erase size " + std::to_string(erase_size) +
                                    " not supported: it must be a power of two and a multiple of 1024\n");
        // A refused geometry is left untouched.
        EXPECT_EQ(geometry.erase_size, usable ? erase_size : 7u);
        EXPECT_EQ(geometry.erase_shift, usable ? shift : 7u);
        EXPECT_EQ(geometry.block_count, usable ? SIZE >> shift : 7u);
        EXPECT_EQ(geometry.size, usable ? SIZE : 7u);
        std::string out;
        EXPECT_EQ(write_kernel(data, 0, false, &out), usable ? 0 : -1);
        uint8_t buffer[4];
        capture_stdout([&] { EXPECT_EQ(flash_read(buffer, fd, 0, 4), usable ? 0 : -1); });
        // Refused before any request; used, one erase per block of the data.
        EXPECT_EQ(requests({"mtd-kernel erase"}).size(), usable ? (data.size() + erase_size - 1) / erase_size : 0);
        EXPECT_EQ(requests({"mtd-kernel pread", "mtd-kernel pwrite"}).empty(), !usable);
        std::vector<uint8_t> expected(SIZE, 0xFF);
        if (usable)
            std::copy(data.begin(), data.end(), expected.begin());
        EXPECT_TRUE(board.partition("kernel") == expected);
    }
}

// Every rewrite lands on old data, so a flash_write that forgets the erase, or erases before it
// reads, comes out wrong. The partition is compared whole: the first `landed` bytes of the data
// at the offset, old data everywhere else. Each block is read, erased and written in 64 chunks
// of 1024 bytes. Length 0 at a block boundary gives no block at all (the unsigned 32-bit block
// arithmetic); inside a block it rewrites that block unchanged.
TEST_F(FlashTest, BlockRewriteWithItsPercentDisplayAndFailures)
{
    const std::string erase_failed = "Flash Write mtd erase failed.\n\n";
    const struct {
        uint32_t offset, length;
        std::string faults;
        int result;
        std::string out, counts;
        uint32_t landed;
    } cases[] = {
        {0, 3 * E, "", 0, START + P0 + "\b\b\b\b033%\b\b\b\b066%" + CLOSING, "r3 e3 w192", 3 * E},
        {E + 300, E, "", 0, START + P0 + "\b\b\b\b050%" + CLOSING, "r2 e2 w128", E},
        {100, 10, "", 0, START + P0 + CLOSING, "r1 e1 w64", 10},
        {0, 0, "", 0, START + CLOSING, "r0 e0 w0", 0},
        {E, 0, "", 0, START + CLOSING, "r0 e0 w0", 0},
        {5 * E, 0, "", 0, START + CLOSING, "r0 e0 w0", 0},
        {E + 100, 0, "", 0, START + P0 + CLOSING, "r1 e1 w64", 0},
        // A failing erase of the second of three blocks stops with the first block rewritten.
        {0, 3 * E, "fail kernel erase 2\n", -1, START + P0 + erase_failed, "r2 e2 w64", E},
        // Past the end: the erase of the first block beyond it fails.
        {SIZE - 10, 20, "", -1, START + P0 + erase_failed, "r2 e2 w64", 10},
        {0, E, "fail kernel read 1\n", -1, START + "Flash Write mtd read failed.\n\n", "r1 e0 w0", 0},
    };
    const std::vector<uint8_t> old_content = pattern(SIZE, 0x40);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " " << c.length << " " << c.faults);
        board.set_partition("kernel", old_content);
        board.set_faults(c.faults);
        sim_devices_attach(board.dir.c_str());  // fault counters start again
        board.clear_log();
        std::vector<uint8_t> data = pattern(c.length, 0x77);
        std::string out;
        EXPECT_EQ(write_kernel(data, c.offset, true, &out), c.result);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(counts(), c.counts);
        std::vector<uint8_t> expected = old_content;
        std::copy(data.begin(), data.begin() + c.landed, expected.begin() + c.offset);
        EXPECT_TRUE(board.partition("kernel") == expected);
    }
}

TEST_F(FlashTest, FirstFailingWriteEndsTheRewrite)
{
    board.set_faults("fail kernel write 3\n");
    board.clear_log();
    std::string out;
    EXPECT_EQ(write_kernel(pattern(E, 2), 0, true, &out), -1);
    EXPECT_EQ(out, START + "Flash Write mtd write failed.\n\n");
    EXPECT_EQ(counts(), "r1 e1 w3");
}

TEST_F(FlashTest, FlashReadReadsTheRangeAndPrintsNothingOnFailure)
{
    std::vector<uint8_t> content = pattern(SIZE, 0x10);
    board.set_partition("kernel", content);
    uint8_t buffer[16] = {};
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(flash_read(buffer, fd, 240, 16), 0); }), "");
    EXPECT_TRUE(std::equal(buffer, buffer + 16, content.begin() + 240));
    board.set_faults("fail kernel read\n");
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(flash_read(buffer, fd, 0, 16), -1); }), "");
}

}  // namespace
