// The device emulator and the board directory: MTD requests as the kernel answers them, the
// EEPROM's address pointer, faults on demand, the scaled sleeps, and the board operations.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "board.h"
#include "devices.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t E = 65536;
constexpr uint32_t KERNEL_SIZE = 3 * 1024 * 1024;

int erase(int fd, uint32_t start, uint32_t length)
{
    erase_info_user request{start, length};
    return ioctl(fd, MEMERASE, &request);
}

class MtdEmulation : public ::testing::Test {
protected:
    TestBoard board;
    int fd = -1;

    void SetUp() override
    {
        fd = open("/dev/mtd-kernel", O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
    }
};

TEST_F(MtdEmulation, GetInfoDescribesThePartition)
{
    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, KERNEL_SIZE);
    EXPECT_EQ(info.erasesize, E);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    board.set_erase_size("kernel", 131072);
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.erasesize, 131072u);
}

TEST_F(MtdEmulation, EraseRefusesWhatTheKernelRefuses)
{
    struct Case {
        uint32_t start, length;
    };
    for (Case c : {Case{100, E}, Case{E, 100}, Case{KERNEL_SIZE, E}, Case{KERNEL_SIZE - E, 2 * E},
                   Case{0xFFFF0000u, 0x20000u}}) {
        SCOPED_TRACE(std::to_string(c.start) + " " + std::to_string(c.length));
        errno = 0;
        EXPECT_EQ(erase(fd, c.start, c.length), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    board.set_partition("kernel", std::vector<uint8_t>(KERNEL_SIZE, 0x00));
    EXPECT_EQ(erase(fd, E, 0), 0) << "an empty range inside the partition is accepted";
    EXPECT_EQ(board.partition("kernel"), std::vector<uint8_t>(KERNEL_SIZE, 0x00));

    ASSERT_EQ(erase(fd, E, 2 * E), 0);
    std::vector<uint8_t> stored = board.partition("kernel");
    EXPECT_EQ(stored[E - 1], 0x00);
    EXPECT_EQ(stored[E], 0xFF);
    EXPECT_EQ(stored[3 * E - 1], 0xFF);
    EXPECT_EQ(stored[3 * E], 0x00);
    EXPECT_EQ(log_lines_starting(board.log(), {"mtd-kernel erase 100 "}),
              std::vector<std::string>{"mtd-kernel erase 100 65536 failed EINVAL"});
}

TEST_F(MtdEmulation, WritesProgramLikeNorFlash)
{
    const uint8_t first[4] = {0xF0, 0xFF, 0x0F, 0x00};
    const uint8_t second[4] = {0x3C, 0x0F, 0xFF, 0xFF};
    ASSERT_EQ(pwrite(fd, first, 4, 1000), 4);
    ASSERT_EQ(pwrite(fd, second, 4, 1000), 4);
    uint8_t stored[4];
    ASSERT_EQ(pread(fd, stored, 4, 1000), 4);
    const uint8_t anded[4] = {0x30, 0x0F, 0x0F, 0x00};
    EXPECT_EQ(std::memcmp(stored, anded, 4), 0);

    ASSERT_EQ(erase(fd, 0, E), 0);
    ASSERT_EQ(pwrite(fd, second, 4, 1000), 4);
    ASSERT_EQ(pread(fd, stored, 4, 1000), 4);
    EXPECT_EQ(std::memcmp(stored, second, 4), 0) << "after an erase the bytes are stored as written";
}

TEST_F(MtdEmulation, TransfersAtTheEndBehaveAsTheCharacterDevice)
{
    uint8_t buffer[32] = {};
    EXPECT_EQ(pread(fd, buffer, 32, KERNEL_SIZE), 0);
    EXPECT_EQ(pread(fd, buffer, 32, KERNEL_SIZE - 8), 8);
    errno = 0;
    EXPECT_EQ(pwrite(fd, buffer, 32, KERNEL_SIZE), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(pwrite(fd, buffer, 32, KERNEL_SIZE - 8), 8);
    EXPECT_EQ(board.partition("kernel").size(), KERNEL_SIZE) << "the partition never grows";
}

TEST_F(MtdEmulation, ReadAndWriteUseTheFilePosition)
{
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_EQ(lseek(fd, 10, SEEK_SET), 10);
    ASSERT_EQ(write(fd, bytes, 3), 3);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 13);
    ASSERT_EQ(lseek(fd, 9, SEEK_SET), 9);
    uint8_t back[5];
    ASSERT_EQ(read(fd, back, 5), 5);
    const uint8_t expected[5] = {0xFF, 1, 2, 3, 0xFF};
    EXPECT_EQ(std::memcmp(back, expected, 5), 0);
}

TEST_F(MtdEmulation, ReadOnlyDescriptorCannotChangeThePartition)
{
    int reader = open("/dev/mtd-kernel", O_RDONLY);
    ASSERT_GE(reader, 0);
    const uint8_t zero = 0;
    errno = 0;
    EXPECT_EQ(pwrite(reader, &zero, 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(erase(reader, 0, E), -1);
    EXPECT_EQ(errno, EPERM);
    close(reader);
}

TEST_F(MtdEmulation, KthRequestFaultsCountPerPartitionAndOperation)
{
    board.set_faults("# comment\nfail kernel erase 2\nfail rfs write\nfail kernel getinfo 1\n");
    EXPECT_EQ(erase(fd, 0, E), 0);
    errno = 0;
    EXPECT_EQ(erase(fd, 0, E), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(erase(fd, 0, E), 0);

    mtd_info_user info{};
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), -1);
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), 0);

    int rfs = open("/dev/mtd-rfs", O_RDWR);
    ASSERT_GE(rfs, 0);
    const uint8_t byte = 0;
    EXPECT_EQ(pwrite(rfs, &byte, 1, 0), -1);
    EXPECT_EQ(pwrite(rfs, &byte, 1, 0), -1);
    EXPECT_EQ(pwrite(fd, &byte, 1, 0), 1) << "another partition is not affected";
    close(rfs);

    EXPECT_EQ(log_lines_starting(board.log(), {"mtd-kernel erase"}),
              (std::vector<std::string>{"mtd-kernel erase 0 65536", "mtd-kernel erase 0 65536 failed EIO (injected)",
                                        "mtd-kernel erase 0 65536"}));

    sim_devices_attach(board.dir.c_str());  // counters start again
    int again = open("/dev/mtd-kernel", O_RDWR);
    EXPECT_EQ(erase(again, 0, E), 0);
    EXPECT_EQ(erase(again, 0, E), -1);
    close(again);
}

TEST_F(MtdEmulation, MissingDeviceDoesNotOpen)
{
    board.set_faults("missing /dev/mtd-rescue\n");
    errno = 0;
    EXPECT_EQ(open("/dev/mtd-rescue", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log_lines_starting(board.log(), {"open /dev/mtd-rescue"}),
              std::vector<std::string>{"open /dev/mtd-rescue O_RDWR failed ENOENT (injected)"});
}

TEST_F(MtdEmulation, ClosedDescriptorIsNoLongerADevice)
{
    close(fd);
    fd = -1;
    mtd_info_user info{};
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), -1);
    EXPECT_EQ(log_lines_starting(board.log(), {"close"}), std::vector<std::string>{"close /dev/mtd-kernel"});
}

TEST_F(MtdEmulation, DetachedEmulatorLeavesDevicePathsAlone)
{
    sim_devices_detach();
    errno = 0;
    int other = open("/dev/mtd-kernel", O_RDWR);
    if (other >= 0)
        close(other);
    EXPECT_EQ(other, -1) << "no such device on the host";
    sim_devices_attach(board.dir.c_str());
}

class I2cEmulation : public ::testing::Test {
protected:
    TestBoard board;
    int bus0 = -1;
    int bus1 = -1;

    void SetUp() override
    {
        bus0 = open("/dev/i2c-0", O_RDWR);
        bus1 = open("/dev/i2c-1", O_RDWR);
        ASSERT_GE(bus0, 0);
        ASSERT_GE(bus1, 0);
    }
    void TearDown() override
    {
        close(bus0);
        close(bus1);
    }
};

TEST_F(I2cEmulation, EepromAddressPointerSetByWritesAdvancedByReads)
{
    ASSERT_EQ(ioctl(bus0, I2C_SLAVE, 0x54), 0);
    const uint8_t store[5] = {0x12, 0x34, 0xAA, 0xBB, 0xCC};
    ASSERT_EQ(write(bus0, store, 5), 5);
    EXPECT_EQ(board.eeprom(0x1234), 0xAA);
    EXPECT_EQ(board.eeprom(0x1236), 0xCC);

    const uint8_t address[2] = {0x12, 0x35};
    ASSERT_EQ(write(bus0, address, 2), 2);
    uint8_t bytes[2] = {};
    ASSERT_EQ(read(bus0, bytes, 1), 1);
    ASSERT_EQ(read(bus0, bytes + 1, 1), 1);
    EXPECT_EQ(bytes[0], 0xBB);
    EXPECT_EQ(bytes[1], 0xCC);

    const uint8_t last[3] = {0xFF, 0xFF, 0x42};
    ASSERT_EQ(write(bus0, last, 3), 3);
    board.set_eeprom(0, 0x43);
    ASSERT_EQ(write(bus0, last, 2), 2);
    ASSERT_EQ(read(bus0, bytes, 2), 2);
    EXPECT_EQ(bytes[0], 0x42);
    EXPECT_EQ(bytes[1], 0x43) << "the pointer wraps at the end of the 64 KiB";
}

TEST_F(I2cEmulation, SmbusByteDataOfTheDeviceAt0x20)
{
    ASSERT_EQ(ioctl(bus1, I2C_SLAVE, 0x20), 0);
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data read_request{I2C_SMBUS_READ, 4, I2C_SMBUS_BYTE_DATA, &data};
    ASSERT_EQ(ioctl(bus1, I2C_SMBUS, &read_request), 0);
    EXPECT_EQ(data.byte, 0x2C) << "register 4 as the board presets it";

    data.byte = 0x81;
    i2c_smbus_ioctl_data write_request{I2C_SMBUS_WRITE, 12, I2C_SMBUS_BYTE_DATA, &data};
    ASSERT_EQ(ioctl(bus1, I2C_SMBUS, &write_request), 0);
    EXPECT_EQ(board.i2c1_register(12), 0x81);

    i2c_smbus_ioctl_data word_request{I2C_SMBUS_READ, 4, I2C_SMBUS_WORD_DATA, &data};
    EXPECT_EQ(ioctl(bus1, I2C_SMBUS, &word_request), -1);
}

TEST_F(I2cEmulation, AddressesWithoutADeviceFail)
{
    const uint8_t address[2] = {0, 0};
    errno = 0;
    EXPECT_EQ(write(bus0, address, 2), -1) << "no I2C_SLAVE yet";
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(ioctl(bus1, I2C_SLAVE, 0x54), 0);
    uint8_t byte;
    errno = 0;
    EXPECT_EQ(read(bus1, &byte, 1), -1) << "the EEPROM is on bus 0";
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(ioctl(bus0, I2C_SLAVE, 0x20), 0);
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data request{I2C_SMBUS_READ, 4, I2C_SMBUS_BYTE_DATA, &data};
    errno = 0;
    EXPECT_EQ(ioctl(bus0, I2C_SMBUS, &request), -1);
    EXPECT_EQ(errno, ENXIO);
    errno = 0;
    EXPECT_EQ(ioctl(bus0, I2C_SLAVE, 0xA8), -1) << "an 8-bit address is no 7-bit address";
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(I2cEmulation, InjectedFaultsOnOneBus)
{
    board.set_faults("i2c slave-fail 0 2\ni2c short-read 0\ni2c read-fail 1\n");
    EXPECT_EQ(ioctl(bus0, I2C_SLAVE, 0x54), 0);
    errno = 0;
    EXPECT_EQ(ioctl(bus0, I2C_SLAVE, 0x54), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(ioctl(bus0, I2C_SLAVE, 0x54), 0);
    EXPECT_EQ(ioctl(bus1, I2C_SLAVE, 0x20), 0) << "the other bus counts its own requests";

    uint8_t bytes[4];
    EXPECT_EQ(read(bus0, bytes, 4), 3);
    errno = 0;
    EXPECT_EQ(read(bus1, bytes, 1), -1);
    EXPECT_EQ(errno, EREMOTEIO);
}

TEST(TimeEmulation, SleepsAreLoggedAndScaled)
{
    TestBoard board(0.001);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(usleep(2000000), 0);
    EXPECT_EQ(sleep(3), 0u);
    timespec half{0, 500000000};
    EXPECT_EQ(nanosleep(&half, nullptr), 0);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pollfd watch{pipe_fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&watch, 1, 4000), 0);
    EXPECT_EQ(poll(&watch, 1, 0), 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 2.0) << "9.5 s of the program's time scaled by 0.001";
    EXPECT_EQ(board.log(), (std::vector<std::string>{"usleep 2000000", "sleep 3", "nanosleep 0.500000000", "poll 4000"}));
}

TEST(BoardDirectory, FreshBoardHoldsErasedFlashAndEeprom)
{
    TestBoard board;
    for (const PartitionSpec& spec : board_partitions())
        EXPECT_EQ(board.partition(spec.name), std::vector<uint8_t>(spec.size, 0xFF)) << spec.name;
    EXPECT_EQ(board.partition("rfs").size(), 15u * 1024 * 1024);
    EXPECT_EQ(board.eeprom(0), 0xFF);
    EXPECT_EQ(board.eeprom(65535), 0xFF);
    EXPECT_EQ(board.i2c1_register(4), 0x2C);
    EXPECT_TRUE(std::filesystem::is_directory(board.path("user/images")));
    EXPECT_FALSE(std::filesystem::exists(board.path("usb")));
    EXPECT_EQ(std::filesystem::file_size(board.path("faults")), 0u);
}

TEST(BoardDirectory, EnvironmentHasChecksumAndZeroTerminatedSettings)
{
    TestBoard board;
    std::string error;
    ASSERT_TRUE(board_set_env(board.dir, {"gdb=1", "diagnostics=rescue"}, &error)) << error;
    std::vector<uint8_t> env = board.partition("ubootenv");
    ASSERT_EQ(env.size(), 65536u);
    const char settings[] = "gdb=1\0diagnostics=rescue\0";
    EXPECT_EQ(std::memcmp(env.data() + 4, settings, sizeof settings), 0);
    EXPECT_EQ(std::count(env.begin() + 4 + sizeof settings, env.end(), 0), static_cast<long>(env.size() - 4 - sizeof settings));
    // The reflected CRC-32 of the data area, big-endian as the target stores it; the CRC of
    // data followed by its own little-endian CRC is the constant residue 0x2144DF1C.
    uint32_t crc = uint32_t(env[0]) << 24 | uint32_t(env[1]) << 16 | uint32_t(env[2]) << 8 | env[3];
    EXPECT_NE(crc, 0u);
    std::vector<uint8_t> with_crc(env.begin() + 4, env.end());
    for (int i = 0; i < 4; ++i)
        with_crc.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    uint32_t residue = 0xFFFFFFFFu;
    for (uint8_t byte : with_crc) {
        residue ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            residue = (residue >> 1) ^ (0xEDB88320u & (0u - (residue & 1u)));
    }
    EXPECT_EQ(~residue, 0x2144DF1Cu);

    EXPECT_FALSE(board_set_env(board.dir, {std::string(70000, 'x') + "=1"}, &error));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
}

TEST(BoardDirectory, FlashFileAndEepromCells)
{
    TestBoard board;
    std::string file = board.path("image.bin");
    std::ofstream(file, std::ios::binary) << "HEADER";
    std::string error;
    ASSERT_TRUE(board_flash_file(board.dir, "devicetree", file, &error)) << error;
    std::vector<uint8_t> stored = board.partition("devicetree");
    EXPECT_EQ(std::string(stored.begin(), stored.begin() + 6), "HEADER");
    EXPECT_EQ(stored[6], 0xFF);
    EXPECT_EQ(stored.size(), 256u * 1024);

    std::ofstream(file, std::ios::binary) << std::string(64 * 1024 + 1, 'x');
    EXPECT_FALSE(board_flash_file(board.dir, "ubootenv", file, &error));
    EXPECT_NE(error.find("larger than partition ubootenv"), std::string::npos) << error;
    EXPECT_FALSE(board_flash_file(board.dir, "user", file, &error));

    ASSERT_TRUE(board_eeprom_write(board.dir, 0x13B, 0xD5, &error)) << error;
    uint8_t value = 0;
    ASSERT_TRUE(board_eeprom_read(board.dir, 0x13B, &value, &error));
    EXPECT_EQ(value, 0xD5);
    EXPECT_EQ(board.eeprom(0x13A), 0xFF);
    EXPECT_FALSE(board_eeprom_write(board.dir, 65536, 1, &error));
}

}  // namespace
