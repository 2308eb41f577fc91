// MTD flash access on the emulated partitions: geometry, the block rewrite with its percent
// display and its failures. The device emulator's own answers are tests/sim/test_devices.cpp's.
// Faults tried (src/hw/flash.cpp; the device emulator) and the test that caught each:
//   the rescue partition opened with O_DSYNC, flash_read without the geometry query, "(injected)"
//   missing from the emulator's log -> FlashTest.OpensTheSixPartitionsWithTheirFlags;
//   the work buffer not zeroed before a block is read (the short-read case), the erase left out,
//   the erase shift fixed at 16 (ASan), an erase size of 0 (UBSan), not a power of two (ASan) or
//   not a multiple of 1024 let through, the emulator not logging a refused erase ->
//   FlashTest.BlockRewriteWithItsPercentDisplayAndFailures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <tuple>

#include "board.h"
#include "devices.h"
#include "hw/flash.h"
#include "support/bytes.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t E = 65536, SIZE = 3 * 1024 * 1024;

struct FlashTest : KernelPartitionTest {
    // How many of the kernel partition's requests of a kind were logged, failed ones included.
    size_t count(const std::string& kind) { return log_lines_starting(board.log(), {"mtd-kernel " + kind}).size(); }
};

// Each partition opens with its flags. One that does not open, or does not answer the geometry
// query, is refused with a message; a failing read itself prints nothing.
TEST_F(FlashTest, OpensTheSixPartitionsWithTheirFlags) {
    board.set_faults("missing /dev/mtd-rfs\nfail kernel read\n");
    board.clear_log();
    EXPECT_EQ(flash_open_partitions(), 1);
    const std::string sync = " O_RDWR|O_DSYNC";
    EXPECT_EQ(log_lines_starting(board.log(), {"open "}),
              (std::vector<std::string>{"open /dev/mtd-uboot" + sync, "open /dev/mtd-ubootenv" + sync,
                                        "open /dev/mtd-devicetree" + sync, "open /dev/mtd-kernel" + sync,
                                        "open /dev/mtd-rfs" + sync + " failed ENOENT (injected)",
                                        "open /dev/mtd-rescue O_RDWR"}));
    EXPECT_EQ(flash_partitions.rfs, -1);
    uint8_t buffer[16];
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(flash_read(buffer, flash_partitions.rfs, 0, 16), -1); }),
              "Could not get MTD device info \n");
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(flash_read(buffer, fd, 0, 16), -1); }), "");
}

// Every rewrite lands on old data, so a flash_write that forgets the erase (NOR programming only
// clears bits), or erases before it reads, comes out wrong. The partition is compared whole: the
// first `landed` bytes of the data at the offset, old data everywhere else (-1: not compared),
// except `zeroed` bytes from `zeroed_at` on. Each block is read, erased and written in chunks of
// 1024 bytes. Length 0 at a block boundary gives no block at all (the unsigned 32-bit block
// arithmetic); inside a block it rewrites that block unchanged. An erase size of 0, not a power
// of two, or not a multiple of 1024 would break the block arithmetic: it is refused at the
// geometry query, before any other request; another power of two is used as it is.
TEST_F(FlashTest, BlockRewriteWithItsPercentDisplayAndFailures) {
    const std::string S = "     ", P0 = "\b\b\b\b000%", P50 = "\b\b\b\b050%", END = "\b\b\b\b100%\n";
    const std::string erase_failed = "Flash Write mtd erase failed.\n\n";
    const std::string refused = " not supported: it must be a power of two and a multiple of 1024\n";
    const struct {
        const char* what;
        uint32_t offset, length;
        std::string faults;
        int result;
        std::string out;
        size_t reads, erases, writes;
        int landed;
        uint32_t zeroed_at = 0, zeroed = 0, erase_size = E;
    } cases[] = {
        {"three whole blocks", 0, 3 * E, "", 0, S + P0 + "\b\b\b\b033%\b\b\b\b066%" + END, 3, 3, 192, 3 * E},
        {"two blocks, unaligned", E + 300, E, "", 0, S + P0 + P50 + END, 2, 2, 128, E},
        // The second block reads short: what it did not deliver, and the data does not cover, is
        // written back as zeros, never as the first block's bytes left in the buffer.
        {"second block reads short", E + 300, E, "short kernel read 2\n", 0, S + P0 + P50 + END, 2, 2, 128, E,
         2 * E + E / 2, E / 2},
        {"ten bytes in one block", 100, 10, "", 0, S + P0 + END, 1, 1, 64, 10},
        {"nothing at 0", 0, 0, "", 0, S + END, 0, 0, 0, 0},
        {"nothing at a block start", 5 * E, 0, "", 0, S + END, 0, 0, 0, 0},
        {"nothing inside a block", E + 100, 0, "", 0, S + P0 + END, 1, 1, 64, 0},
        // A failing erase of the second of three blocks stops with the first block rewritten.
        {"second erase fails", 0, 3 * E, "fail kernel erase 2\n", -1, S + P0 + erase_failed, 2, 2, 64, E},
        // Past the end: the erase of the first block beyond it fails.
        {"past the end", SIZE - 10, 20, "", -1, S + P0 + erase_failed, 2, 2, 64, 10},
        {"read fails", 0, E, "fail kernel read 1\n", -1, S + "Flash Write mtd read failed.\n\n", 1, 0, 0, 0},
        {"third write fails", 0, E, "fail kernel write 3\n", -1, S + "Flash Write mtd write failed.\n\n", 1, 1, 3, -1},
        // Erase sizes.
        {"erase size 128 KiB", 0, 200000, "", 0, S + P0 + P50 + END, 2, 2, 256, 200000, 0, 0, 2 * E},
        {"erase size 0", 0, E, "", -1, "MTD device erase size 0" + refused, 0, 0, 0, 0, 0, 0, 0},
        {"erase size 96 KiB", 0, E, "", -1, "MTD device erase size 98304" + refused, 0, 0, 0, 0, 0, 0, 98304},
        {"erase size 512", 0, E, "", -1, "MTD device erase size 512" + refused, 0, 0, 0, 0, 0, 0, 512},
    };
    const Bytes old_content = pattern_bytes(SIZE, 0x40);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(board.path("mtd/kernel.erasesize"), std::ios::trunc) << c.erase_size << "\n";
        board.set_partition("kernel", old_content);
        board.set_faults(c.faults);
        sim_devices_attach(board.dir.c_str());  // fault counters start again
        board.clear_log();
        Bytes data = pattern_bytes(c.length, 0x77);
        EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(flash_write(data.data(), fd, c.offset, c.length, 1), c.result); }),
                  c.out);
        EXPECT_EQ(std::tuple(count("pread"), count("erase"), count("pwrite")), std::tuple(c.reads, c.erases, c.writes));
        Bytes expected = old_content;
        std::fill_n(expected.begin() + c.zeroed_at, c.zeroed, 0);
        std::copy(data.begin(), data.begin() + std::max(c.landed, 0), expected.begin() + c.offset);
        EXPECT_TRUE(c.landed < 0 || board.partition("kernel") == expected);
    }
}

}  // namespace
