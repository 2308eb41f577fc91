// The device emulator and the board directory: MTD requests as the kernel answers them, I2C
// addressing, faults on demand, the scaled sleeps, and the environment the board keeps.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
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

int erase(int fd, uint32_t start, uint32_t length)
{
    erase_info_user request{start, length};
    return ioctl(fd, MEMERASE, &request);
}

class MtdEmulation : public ::testing::Test {
protected:
    TestBoard board;
    int fd = open("/dev/mtd-kernel", O_RDWR);
    void TearDown() override { close(fd); }
};

// An unaligned range or one past the end (wrapping included) is refused with EINVAL and logged;
// an empty range inside the partition erases nothing; an erased block holds 0xFF.
TEST_F(MtdEmulation, GetInfoAndEraseAsTheKernelAnswersThem)
{
    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(std::tuple(info.size, info.erasesize, info.type), std::tuple(KERNEL_SIZE, E, uint8_t(MTD_NORFLASH)));
    for (auto [start, length] : {std::pair{100u, E}, {E, 100u}, {KERNEL_SIZE, E}, {KERNEL_SIZE - E, 2 * E},
                                 {0xFFFF0000u, 0x20000u}})
        EXPECT_EQ(error_of(erase(fd, start, length)), EINVAL) << start << " " << length;
    EXPECT_EQ(log_lines_starting(board.log(), {"mtd-kernel erase 100 "}), Lines{"mtd-kernel erase 100 65536 failed EINVAL"});
    board.set_partition("kernel", Bytes(KERNEL_SIZE, 0x00));
    EXPECT_EQ(erase(fd, E, 0), 0);
    ASSERT_EQ(erase(fd, E, 2 * E), 0);
    Bytes expected(KERNEL_SIZE, 0x00);
    std::fill(expected.begin() + E, expected.begin() + 3 * E, 0xFF);
    EXPECT_TRUE(board.partition("kernel") == expected);
}

// NOR programming only clears bits: the byte stored is old AND new until an erase. At the end
// of the partition a transfer is short or refused, and the partition never grows.
TEST_F(MtdEmulation, TransfersProgramLikeNorFlashAndStopAtTheEnd)
{
    const uint8_t first[4] = {0xF0, 0xFF, 0x0F, 0x00}, second[4] = {0x3C, 0x0F, 0xFF, 0xFF};
    auto stored = [&] {
        uint8_t bytes[4];
        return pread(fd, bytes, 4, 1000) == 4 ? Bytes(bytes, bytes + 4) : Bytes{};
    };
    ASSERT_EQ(pwrite(fd, first, 4, 1000), 4);
    ASSERT_EQ(pwrite(fd, second, 4, 1000), 4);
    EXPECT_EQ(stored(), (Bytes{0x30, 0x0F, 0x0F, 0x00}));
    ASSERT_EQ(erase(fd, 0, E), 0);
    ASSERT_EQ(pwrite(fd, second, 4, 1000), 4);
    EXPECT_EQ(stored(), Bytes(second, second + 4));

    uint8_t buffer[32] = {};
    EXPECT_EQ(pread(fd, buffer, 32, KERNEL_SIZE), 0);
    EXPECT_EQ(pread(fd, buffer, 32, KERNEL_SIZE - 8), 8);
    EXPECT_EQ(error_of(pwrite(fd, buffer, 32, KERNEL_SIZE)), ENOSPC);
    EXPECT_EQ(pwrite(fd, buffer, 32, KERNEL_SIZE - 8), 8);
    EXPECT_EQ(board.partition("kernel").size(), KERNEL_SIZE);
}

// Faults count the requests of one partition and operation since attach; without K every such
// request fails. A closed descriptor is no longer a device; a detached emulator leaves the
// host's paths alone.
TEST_F(MtdEmulation, FaultsClosedDescriptorsAndTheDetachedEmulator)
{
    board.set_faults("# comment\nfail kernel erase 2\nfail rfs write\nfail kernel getinfo 1\nmissing /dev/mtd-rescue\n");
    EXPECT_EQ((std::tuple{erase(fd, 0, E), error_of(erase(fd, 0, E)), erase(fd, 0, E)}), std::tuple(0, EIO, 0));
    mtd_info_user info{};
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), -1);
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    int rfs = open("/dev/mtd-rfs", O_RDWR);
    const uint8_t byte = 0;
    EXPECT_EQ((std::tuple{pwrite(rfs, &byte, 1, 0), pwrite(rfs, &byte, 1, 0)}), std::tuple(-1, -1));
    EXPECT_EQ(pwrite(fd, &byte, 1, 0), 1) << "another partition is not affected";
    close(rfs);
    EXPECT_EQ(error_of(open("/dev/mtd-rescue", O_RDWR)), ENOENT);
    EXPECT_EQ(log_lines_starting(board.log(), {"mtd-kernel erase", "open /dev/mtd-rescue", "close"}),
              (Lines{"mtd-kernel erase 0 65536", "mtd-kernel erase 0 65536 failed EIO (injected)", "mtd-kernel erase 0 65536",
                     "close /dev/mtd-rfs", "open /dev/mtd-rescue O_RDWR failed ENOENT (injected)"}));
    sim_devices_attach(board.dir.c_str());  // counters start again
    EXPECT_EQ((std::tuple{erase(fd, 0, E), erase(fd, 0, E)}), std::tuple(0, -1));

    close(fd);
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), -1);
    sim_devices_detach();
    fd = open("/dev/mtd-kernel", O_RDWR);
    EXPECT_EQ(fd, -1) << "no such device on the host";
    sim_devices_attach(board.dir.c_str());
}

// Transfers to an address without a device fail; the device at 0x20 answers SMBus byte-data
// transfers only (its registers are tested through the SMBus helpers). Faults count the
// requests of each bus apart.
TEST(I2cEmulation, AddressingAndInjectedFaults)
{
    TestBoard board;
    int bus0 = open("/dev/i2c-0", O_RDWR), bus1 = open("/dev/i2c-1", O_RDWR);
    auto smbus = [](int bus, uint32_t size) {
        i2c_smbus_data data{};
        i2c_smbus_ioctl_data request{I2C_SMBUS_READ, 4, size, &data};
        return ioctl(bus, I2C_SMBUS, &request);
    };
    uint8_t bytes[4] = {};
    EXPECT_EQ(error_of(write(bus0, bytes, 2)), ENXIO) << "no I2C_SLAVE yet";
    ASSERT_EQ(ioctl(bus1, I2C_SLAVE, 0x54), 0);
    EXPECT_EQ(error_of(read(bus1, bytes, 1)), ENXIO) << "the EEPROM is on bus 0";
    ASSERT_EQ(ioctl(bus0, I2C_SLAVE, 0x20), 0);
    EXPECT_EQ(error_of(smbus(bus0, I2C_SMBUS_BYTE_DATA)), ENXIO);
    EXPECT_EQ(error_of(ioctl(bus0, I2C_SLAVE, 0xA8)), EINVAL) << "an 8-bit address is no 7-bit address";
    ASSERT_EQ(ioctl(bus1, I2C_SLAVE, 0x20), 0);
    EXPECT_EQ(smbus(bus1, I2C_SMBUS_WORD_DATA), -1);

    board.set_faults("i2c slave-fail 0 2\ni2c short-read 0\ni2c read-fail 1\n");
    sim_devices_attach(board.dir.c_str());
    EXPECT_EQ((std::tuple{ioctl(bus0, I2C_SLAVE, 0x54), error_of(ioctl(bus0, I2C_SLAVE, 0x54)), ioctl(bus0, I2C_SLAVE, 0x54)}),
              std::tuple(0, EBUSY, 0));
    EXPECT_EQ(ioctl(bus1, I2C_SLAVE, 0x20), 0) << "the other bus counts its own requests";
    EXPECT_EQ(read(bus0, bytes, 4), 3);
    EXPECT_EQ(error_of(read(bus1, bytes, 1)), EREMOTEIO);
    close(bus0);
    close(bus1);
}

TEST(TimeEmulation, SleepsAreLoggedAndScaled)
{
    TestBoard board(0.001);
    auto start = std::chrono::steady_clock::now();
    timespec half{0, 500000000};
    pollfd nothing{-1, POLLIN, 0};
    EXPECT_EQ((std::tuple{usleep(2000000), sleep(3), nanosleep(&half, nullptr), poll(&nothing, 1, 4000), poll(&nothing, 1, 0)}),
              std::tuple(0, 0u, 0, 0, 0));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0)
        << "9.5 s of the program's time scaled by 0.001";
    EXPECT_EQ(board.log(), (Lines{"usleep 2000000", "sleep 3", "nanosleep 0.500000000", "poll 4000"}));
}

// The environment as the boot loader keeps it: a CRC-32 of the data area stored big-endian, then
// zero-terminated settings.
TEST(BoardDirectory, EnvironmentHasChecksumAndZeroTerminatedSettings)
{
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
