// The device emulator as the other tests and the simulated board's users rely on it: MTD requests
// answered as the kernel answers them on NOR flash, faults at the K-th request, the log lines
// that tests parse, the scaled sleeps, and the environment the board keeps.
// Faults tried (sim/devices.cpp, sim/board.cpp) and the test that caught each:
//   MEMGETINFO giving NAND, no alignment check on erase, no check of a range running past the
//   end, no early success for an empty range, programming that overwrites instead of AND,
//   writes not cut at the end, no ENOSPC at the end -> MtdRequestsAsTheKernelAnswersThemOnNorFlash;
//   a refused erase not logged -> FlashTest.BlockRewriteWithItsPercentDisplayAndFailures
//   (test_flash.cpp);
//   K ignored, counters not reset at attach, a short read at every read, a short read that
//   zeroes the rest of the buffer or is not marked injected, "(injected)" missing, both buses
//   counting together, close() keeping the descriptor tracked, reads answered before
//   I2C_SLAVE -> FaultsHitTheKthRequestSinceAttach;
//   sleep() not scaled, poll() with no time-out logged -> SleepsAreLoggedAndScaled;
//   the environment's CRC not inverted, no size check (heap overflow under ASan) ->
//   EnvironmentHasChecksumAndZeroTerminatedSettings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <tuple>

#include "board.h"
#include "devices.h"
#include "image/image_header.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t E = 65536, KERNEL_SIZE = 3 * 1024 * 1024;
using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

// The errno of a failed request; 0 when it did not fail.
int error_of(long result) { return result == -1 ? errno : 0; }

int erase(int fd, erase_info_user request) { return ioctl(fd, MEMERASE, &request); }

struct DeviceEmulation : ::testing::Test {
    TestBoard board;
    int fd = open("/dev/mtd-kernel", O_RDWR);
    void TearDown() override { close(fd); }
};

// A NOR flash partition. An unaligned erase or one past the end (wrapping included) is refused
// with EINVAL; an empty range inside the partition erases nothing; an erased block holds 0xFF.
TEST_F(DeviceEmulation, MtdRequestsAsTheKernelAnswersThemOnNorFlash) {
    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(std::tuple(info.size, info.erasesize, info.type), std::tuple(KERNEL_SIZE, E, uint8_t(MTD_NORFLASH)));
    board.set_partition("kernel", Bytes(KERNEL_SIZE, 0x00));
    const uint32_t refused[][2] = {
        {100, E}, {E, 100}, {KERNEL_SIZE, E}, {KERNEL_SIZE - E, 2 * E}, {0xFFFF0000u, 0x20000u}};
    for (auto [start, length] : refused)
        EXPECT_EQ(error_of(erase(fd, {start, length})), EINVAL) << start << " " << length;
    EXPECT_EQ((std::tuple{erase(fd, {100, 0}), erase(fd, {E, 2 * E})}), std::tuple(0, 0));
    Bytes expected(KERNEL_SIZE, 0x00);
    std::fill(expected.begin() + E, expected.begin() + 3 * E, 0xFF);
    EXPECT_TRUE(board.partition("kernel") == expected);
    // NOR programming only clears bits: the byte stored is old AND new until an erase. At the end
    // of the partition a transfer is short or refused, and the partition never grows.
    const uint8_t first[4] = {0xF0, 0xFF, 0x0F, 0x00}, second[4] = {0x3C, 0x0F, 0xFF, 0xFF};
    uint8_t got[32] = {};
    auto stored = [&] { return pread(fd, got, 4, E + 1000) == 4 ? Bytes(got, got + 4) : Bytes{}; };
    EXPECT_EQ((std::tuple{pwrite(fd, first, 4, E + 1000), pwrite(fd, second, 4, E + 1000), stored(), erase(fd, {E, E}),
                          pwrite(fd, second, 4, E + 1000), stored()}),
              std::tuple(4, 4, Bytes{0x30, 0x0F, 0x0F, 0x00}, 0, 4, Bytes(second, second + 4)));
    EXPECT_EQ((std::tuple{pread(fd, got, 32, KERNEL_SIZE), pread(fd, got, 32, KERNEL_SIZE - 8),
                          error_of(pwrite(fd, got, 32, KERNEL_SIZE)), pwrite(fd, got, 32, KERNEL_SIZE - 8)}),
              std::tuple(0, 8, ENOSPC, 8));
    EXPECT_EQ(board.partition("kernel").size(), KERNEL_SIZE);
}

// Faults hit the K-th request of one partition and operation, or of one bus and kind of I2C
// request (failed ones included), since attach; without K every such request. The log marks
// them. A short read leaves the rest of the buffer as it was. A closed descriptor is no longer a
// device.
TEST_F(DeviceEmulation, FaultsHitTheKthRequestSinceAttach) {
    board.set_faults(
        "fail kernel erase 2\nfail kernel getinfo 1\nshort kernel read 2\nfail rfs write\nmissing /dev/mtd-rescue\n"
        "i2c slave-fail 0 2\ni2c read-fail 0 2\n");
    int rfs = open("/dev/mtd-rfs", O_RDWR), bus0 = open("/dev/i2c-0", O_RDWR), bus1 = open("/dev/i2c-1", O_RDWR);
    mtd_info_user info{};
    uint8_t bytes[10] = {};
    Bytes tail(10, 0xAA);
    EXPECT_EQ((std::tuple{erase(fd, {0, E}), error_of(erase(fd, {0, E})), erase(fd, {0, E}),
                          error_of(ioctl(fd, MEMGETINFO, &info)), ioctl(fd, MEMGETINFO, &info), pread(fd, bytes, 10, 0),
                          pread(fd, tail.data(), 10, 0), pread(fd, bytes, 10, 0), error_of(pwrite(rfs, bytes, 1, 0)),
                          error_of(pwrite(rfs, bytes, 1, 0)), pwrite(fd, bytes, 1, 0),
                          error_of(open("/dev/mtd-rescue", O_RDWR))}),
              std::tuple(0, EIO, 0, EIO, 0, 10, 5, 10, EIO, EIO, 1, ENOENT));
    EXPECT_EQ(tail, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(
        (std::tuple{error_of(read(bus0, bytes, 1)), ioctl(bus0, I2C_SLAVE, 0x54), ioctl(bus1, I2C_SLAVE, 0x20),
                    error_of(ioctl(bus0, I2C_SLAVE, 0x54)), error_of(read(bus0, bytes, 1)), read(bus0, bytes, 1)}),
        std::tuple(ENXIO, 0, 0, EBUSY, EREMOTEIO, 1))
        << "no device before I2C_SLAVE; each bus counts apart";
    EXPECT_EQ(
        log_lines_starting(board.log(),
                           {"mtd-kernel erase", "mtd-kernel pread 0 10 ->", "mtd-rfs", "open /dev/mtd-rescue"}),
        (Lines{"mtd-kernel erase 0 65536", "mtd-kernel erase 0 65536 failed EIO (injected)", "mtd-kernel erase 0 65536",
               "mtd-kernel pread 0 10 -> 5 (injected short read)", "mtd-rfs pwrite 0 1 failed EIO (injected)",
               "mtd-rfs pwrite 0 1 failed EIO (injected)", "open /dev/mtd-rescue O_RDWR failed ENOENT (injected)"}));
    sim_devices_attach(board.dir.c_str());  // counters start again
    EXPECT_EQ((std::tuple{erase(fd, {0, E}), error_of(erase(fd, {0, E}))}), std::tuple(0, EIO));
    for (int device : {rfs, bus0, bus1}) close(device);
    EXPECT_EQ(error_of(pwrite(rfs, bytes, 1, 0)), EBADF);
}

TEST(TimeEmulation, SleepsAreLoggedAndScaled) {
    TestBoard board(0.001);
    auto start = std::chrono::steady_clock::now();
    timespec half{0, 500000000};
    pollfd nothing{-1, POLLIN, 0};
    EXPECT_EQ((std::tuple{usleep(2000000), sleep(3), nanosleep(&half, nullptr), poll(&nothing, 1, 4000),
                          poll(&nothing, 1, 0)}),
              std::tuple(0, 0u, 0, 0, 0));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0)
        << "9.5 s of the program's time scaled by 0.001";
    EXPECT_EQ(board.log(), (Lines{"usleep 2000000", "sleep 3", "nanosleep 0.500000000", "poll 4000"}));
}

// The environment as the boot loader keeps it: a CRC-32 of the data area stored big-endian, then
// zero-terminated settings.
TEST(BoardDirectory, EnvironmentHasChecksumAndZeroTerminatedSettings) {
    TestBoard board;
    std::string error;
    ASSERT_TRUE(board_set_env(board.dir, {"gdb=1", "diagnostics=rescue"}, &error)) << error;
    Bytes env = board.partition("ubootenv"), expected(65536 - 4, 0);
    const std::string settings("gdb=1\0diagnostics=rescue\0", 25);
    std::copy(settings.begin(), settings.end(), expected.begin());
    EXPECT_TRUE(Bytes(env.begin() + 4, env.end()) == expected);
    EXPECT_EQ(read_be32(env.data()), ~crc32_update(expected.data(), uint32_t(expected.size()), 0xFFFFFFFFu));
    EXPECT_FALSE(board_set_env(board.dir, {std::string(70000, 'x') + "=1"}, &error));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
}

}  // namespace
