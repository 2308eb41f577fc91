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

#include "board.h"
#include "devices.h"
#include "image/image_header.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t E = 65536;
constexpr uint32_t KERNEL_SIZE = 3 * 1024 * 1024;
using Lines = std::vector<std::string>;

// The errno of a failed request; 0 when it did not fail.
int error_of(long result)
{
    return result == -1 ? errno : 0;
}

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

TEST_F(MtdEmulation, GetInfoAndEraseAsTheKernelAnswersThem)
{
    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, KERNEL_SIZE);
    EXPECT_EQ(info.erasesize, E);
    EXPECT_EQ(info.type, MTD_NORFLASH);

    // Unaligned or past the end (wrapping included): EINVAL.
    for (auto [start, length] : {std::pair{100u, E}, {E, 100u}, {KERNEL_SIZE, E}, {KERNEL_SIZE - E, 2 * E},
                                 {0xFFFF0000u, 0x20000u}}) {
        EXPECT_EQ(error_of(erase(fd, start, length)), EINVAL) << start << " " << length;
    }
    EXPECT_EQ(log_lines_starting(board.log(), {"mtd-kernel erase 100 "}), Lines{"mtd-kernel erase 100 65536 failed EINVAL"});
    // An empty range inside the partition is accepted and erases nothing.
    board.set_partition("kernel", std::vector<uint8_t>(KERNEL_SIZE, 0x00));
    EXPECT_EQ(erase(fd, E, 0), 0);
    ASSERT_EQ(erase(fd, E, 2 * E), 0);
    std::vector<uint8_t> expected(KERNEL_SIZE, 0x00);
    std::fill(expected.begin() + E, expected.begin() + 3 * E, 0xFF);
    EXPECT_TRUE(board.partition("kernel") == expected);
}

// NOR programming only clears bits: the byte stored is old AND new until an erase.
TEST_F(MtdEmulation, WritesProgramLikeNorFlash)
{
    const uint8_t first[4] = {0xF0, 0xFF, 0x0F, 0x00}, second[4] = {0x3C, 0x0F, 0xFF, 0xFF};
    uint8_t stored[4];
    ASSERT_EQ(pwrite(fd, first, 4, 1000), 4);
    ASSERT_EQ(pwrite(fd, second, 4, 1000), 4);
    ASSERT_EQ(pread(fd, stored, 4, 1000), 4);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 4), (std::vector<uint8_t>{0x30, 0x0F, 0x0F, 0x00}));
    ASSERT_EQ(erase(fd, 0, E), 0);
    ASSERT_EQ(pwrite(fd, second, 4, 1000), 4);
    ASSERT_EQ(pread(fd, stored, 4, 1000), 4);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 4), std::vector<uint8_t>(second, second + 4));
}

// At the end of the partition a transfer is short or refused, and the partition never grows.
TEST_F(MtdEmulation, TransfersAtTheEndBehaveAsTheCharacterDevice)
{
    uint8_t buffer[32] = {};
    EXPECT_EQ(pread(fd, buffer, 32, KERNEL_SIZE), 0);
    EXPECT_EQ(pread(fd, buffer, 32, KERNEL_SIZE - 8), 8);
    EXPECT_EQ(error_of(pwrite(fd, buffer, 32, KERNEL_SIZE)), ENOSPC);
    EXPECT_EQ(pwrite(fd, buffer, 32, KERNEL_SIZE - 8), 8);
    EXPECT_EQ(board.partition("kernel").size(), KERNEL_SIZE);

}

// Faults count the requests of one partition and operation since attach; without K every such
// request fails.
TEST_F(MtdEmulation, KthRequestFaultsAndMissingDevices)
{
    board.set_faults("# comment\nfail kernel erase 2\nfail rfs write\nfail kernel getinfo 1\nmissing /dev/mtd-rescue\n");
    EXPECT_EQ(erase(fd, 0, E), 0);
    EXPECT_EQ(error_of(erase(fd, 0, E)), EIO);
    EXPECT_EQ(erase(fd, 0, E), 0);
    mtd_info_user info{};
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), -1);
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    int rfs = open("/dev/mtd-rfs", O_RDWR);
    const uint8_t byte = 0;
    EXPECT_EQ(pwrite(rfs, &byte, 1, 0), -1);
    EXPECT_EQ(pwrite(rfs, &byte, 1, 0), -1);
    EXPECT_EQ(pwrite(fd, &byte, 1, 0), 1) << "another partition is not affected";
    close(rfs);
    EXPECT_EQ(error_of(open("/dev/mtd-rescue", O_RDWR)), ENOENT);
    EXPECT_EQ(log_lines_starting(board.log(), {"mtd-kernel erase", "open /dev/mtd-rescue"}),
              (Lines{"mtd-kernel erase 0 65536", "mtd-kernel erase 0 65536 failed EIO (injected)", "mtd-kernel erase 0 65536",
                     "open /dev/mtd-rescue O_RDWR failed ENOENT (injected)"}));

    sim_devices_attach(board.dir.c_str());  // counters start again
    EXPECT_EQ(erase(fd, 0, E), 0);
    EXPECT_EQ(erase(fd, 0, E), -1);
}

// A closed descriptor is no longer a device; a detached emulator leaves the host's paths alone.
TEST_F(MtdEmulation, ClosedDescriptorsAndTheDetachedEmulator)
{
    close(fd);
    mtd_info_user info{};
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), -1);
    EXPECT_EQ(log_lines_starting(board.log(), {"close"}), Lines{"close /dev/mtd-kernel"});
    sim_devices_detach();
    fd = open("/dev/mtd-kernel", O_RDWR);
    EXPECT_EQ(fd, -1) << "no such device on the host";
    sim_devices_attach(board.dir.c_str());
}

class I2cEmulation : public ::testing::Test {
protected:
    TestBoard board;
    int bus0 = open("/dev/i2c-0", O_RDWR);
    int bus1 = open("/dev/i2c-1", O_RDWR);
    void TearDown() override
    {
        close(bus0);
        close(bus1);
    }
    int smbus(int bus, uint8_t direction, uint8_t reg, i2c_smbus_data* data, int size = I2C_SMBUS_BYTE_DATA)
    {
        i2c_smbus_ioctl_data request{direction, reg, static_cast<uint32_t>(size), data};
        return ioctl(bus, I2C_SMBUS, &request);
    }
};

// Transfers to an address without a device fail; the device at 0x20 answers SMBus byte-data
// transfers only (its registers are tested through the SMBus helpers).
TEST_F(I2cEmulation, AddressesWithoutADeviceAndOtherTransfersFail)
{
    const uint8_t address[2] = {0, 0};
    EXPECT_EQ(error_of(write(bus0, address, 2)), ENXIO) << "no I2C_SLAVE yet";
    ASSERT_EQ(ioctl(bus1, I2C_SLAVE, 0x54), 0);
    uint8_t byte;
    EXPECT_EQ(error_of(read(bus1, &byte, 1)), ENXIO) << "the EEPROM is on bus 0";
    ASSERT_EQ(ioctl(bus0, I2C_SLAVE, 0x20), 0);
    i2c_smbus_data data{};
    EXPECT_EQ(error_of(smbus(bus0, I2C_SMBUS_READ, 4, &data)), ENXIO);
    EXPECT_EQ(error_of(ioctl(bus0, I2C_SLAVE, 0xA8)), EINVAL) << "an 8-bit address is no 7-bit address";
    ASSERT_EQ(ioctl(bus1, I2C_SLAVE, 0x20), 0);
    EXPECT_EQ(smbus(bus1, I2C_SMBUS_READ, 4, &data, I2C_SMBUS_WORD_DATA), -1);
}

TEST_F(I2cEmulation, InjectedFaultsOnOneBus)
{
    board.set_faults("i2c slave-fail 0 2\ni2c short-read 0\ni2c read-fail 1\n");
    EXPECT_EQ(ioctl(bus0, I2C_SLAVE, 0x54), 0);
    EXPECT_EQ(error_of(ioctl(bus0, I2C_SLAVE, 0x54)), EBUSY);
    EXPECT_EQ(ioctl(bus0, I2C_SLAVE, 0x54), 0);
    EXPECT_EQ(ioctl(bus1, I2C_SLAVE, 0x20), 0) << "the other bus counts its own requests";
    uint8_t bytes[4];
    EXPECT_EQ(read(bus0, bytes, 4), 3);
    EXPECT_EQ(error_of(read(bus1, bytes, 1)), EREMOTEIO);
}

TEST(TimeEmulation, SleepsAreLoggedAndScaled)
{
    TestBoard board(0.001);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(usleep(2000000), 0);
    EXPECT_EQ(sleep(3), 0u);
    timespec half{0, 500000000};
    EXPECT_EQ(nanosleep(&half, nullptr), 0);
    pollfd nothing{-1, POLLIN, 0};
    EXPECT_EQ(poll(&nothing, 1, 4000), 0);
    EXPECT_EQ(poll(&nothing, 1, 0), 0);
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
    std::vector<uint8_t> env = board.partition("ubootenv");
    std::vector<uint8_t> expected(65536 - 4, 0);
    const std::string settings("gdb=1\0diagnostics=rescue\0", 25);
    std::copy(settings.begin(), settings.end(), expected.begin());
    EXPECT_TRUE(std::vector<uint8_t>(env.begin() + 4, env.end()) == expected);
    EXPECT_EQ(read_be32(env.data()), ~crc32_update(expected.data(), uint32_t(expected.size()), 0xFFFFFFFFu));
    EXPECT_FALSE(board_set_env(board.dir, {std::string(70000, 'x') + "=1"}, &error));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
}

}  // namespace
