// The device emulator's own answers, where the flash and EEPROM tests rely on them without
// showing them themselves (the rest of it is exercised by every flash and EEPROM test): the NOR
// rules of the MTD partitions, and the faults file's K-th request since attach.
// Faults tried (sim/devices/, sim/board.cpp) and the test that caught each:
//   no alignment check on erase, no check of a range running past the end, programming that
//   overwrites instead of AND, writes not cut at the end, no ENOSPC at the end
//   -> DeviceEmulator.AnswersAsTheKernelOnNorFlash;
//   K ignored, counters not reset at attach, a short read at every read, a short read that
//   zeroes the rest of the buffer, both buses counting together, close() keeping the descriptor
//   tracked, reads answered before I2C_SLAVE, no size check of the environment (heap overflow
//   under ASan) -> DeviceEmulator.FaultsHitTheKthRequestSinceAttach;
//   sleep() not scaled -> SerialRestore.PutsTheSavedSettingsBackAndWaitsForALineFeed;
//   a change of the faults file after the first request not read (the watch's event ignored, the
//   board directory looked at once per attach instead of once per request, or without a watch
//   the file compared by its presence only) -> DeviceEmulator.FaultsHitTheKthRequestSinceAttach
//   and FlashTest.OpensTheSixPartitionsWithTheirFlags; a removed devices.log not started again
//   -> FlashTest.OpensTheSixPartitionsWithTheirFlags. The watch's events told apart by the file
//   they name, which qemu-ppc hands over in the host's byte order -> on the target,
//   DeviceEmulator.FaultsHitTheKthRequestSinceAttach and FlashTest.OpensTheSixPartitionsWithTheirFlags.
//   Without any watch (inotify refused) every unit test passes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>

#include "board.h"
#include "devices.h"
#include "support/bytes.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t E = 65536, SIZE = 3 * 1024 * 1024;

using DeviceEmulator = KernelPartitionTest;

// The errno of a failed request; 0 when it did not fail.
int error_of(long result) { return result == -1 ? errno : 0; }
int erase(int fd, erase_info_user request) { return ioctl(fd, MEMERASE, &request); }

// An unaligned erase or one past the end (wrapping included) is refused with EINVAL. Programming
// only clears bits: the byte stored is old AND new until an erase. At the end of the partition a
// transfer is short or refused.
TEST_F(DeviceEmulator, AnswersAsTheKernelOnNorFlash) {
    for (auto [start, length] : {std::pair{100u, E}, {E, 100u}, {SIZE, E}, {SIZE - E, 2 * E}, {0xFFFF0000u, 2 * E}})
        EXPECT_EQ(error_of(erase(fd, {start, length})), EINVAL) << start << " " << length;
    const uint8_t first[4] = {0xF0, 0xFF, 0x0F, 0x00}, second[4] = {0x3C, 0x0F, 0xFF, 0xFF};
    uint8_t got[32] = {};
    auto stored = [&] { return pread(fd, got, 4, E + 1000) == 4 ? Bytes(got, got + 4) : Bytes{}; };
    EXPECT_EQ((std::tuple{pwrite(fd, first, 4, E + 1000), pwrite(fd, second, 4, E + 1000), stored(), erase(fd, {E, E}),
                          pwrite(fd, second, 4, E + 1000), stored()}),
              std::tuple(4, 4, Bytes{0x30, 0x0F, 0x0F, 0x00}, 0, 4, Bytes(second, second + 4)));
    EXPECT_EQ(
        (std::tuple{pread(fd, got, 32, SIZE - 8), error_of(pwrite(fd, got, 32, SIZE)), pwrite(fd, got, 32, SIZE - 8)}),
        std::tuple(8, ENOSPC, 8));
}

// Faults hit the K-th request of one partition and operation, or of one bus and kind of I2C
// request (failed ones included), since attach; without K every such request. A short read
// leaves the rest of the buffer as it was. A closed descriptor is no longer a device.
TEST_F(DeviceEmulator, FaultsHitTheKthRequestSinceAttach) {
    board.set_faults(
        "fail kernel erase 2\nshort kernel read 2\nfail rfs write\ni2c slave-fail 0 2\ni2c read-fail 0 2\n");
    int rfs = open("/dev/mtd-rfs", O_RDWR), bus0 = open("/dev/i2c-0", O_RDWR), bus1 = open("/dev/i2c-1", O_RDWR);
    uint8_t bytes[10] = {};
    Bytes tail(10, 0xAA);
    EXPECT_EQ((std::tuple{erase(fd, {0, E}), error_of(erase(fd, {0, E})), erase(fd, {0, E}), pread(fd, bytes, 10, 0),
                          pread(fd, tail.data(), 10, 0), pread(fd, bytes, 10, 0), error_of(pwrite(rfs, bytes, 1, 0)),
                          error_of(pwrite(rfs, bytes, 1, 0)), pwrite(fd, bytes, 1, 0)}),
              std::tuple(0, EIO, 0, 10, 5, 10, EIO, EIO, 1));
    EXPECT_EQ(tail, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(
        (std::tuple{error_of(read(bus0, bytes, 1)), ioctl(bus0, I2C_SLAVE, 0x54), ioctl(bus1, I2C_SLAVE, 0x20),
                    error_of(ioctl(bus0, I2C_SLAVE, 0x54)), error_of(read(bus0, bytes, 1)), read(bus0, bytes, 1)}),
        std::tuple(ENXIO, 0, 0, EBUSY, EREMOTEIO, 1));
    sim_devices_attach(board.dir.c_str());  // counters start again
    EXPECT_EQ((std::tuple{erase(fd, {0, E}), error_of(erase(fd, {0, E}))}), std::tuple(0, EIO));
    for (int device : {rfs, bus0, bus1}) close(device);
    EXPECT_EQ(error_of(pwrite(rfs, bytes, 1, 0)), EBADF);
    std::string error;
    EXPECT_FALSE(board_set_env(board.dir, {std::string(70000, 'x') + "=1"}, &error));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
}

}  // namespace
