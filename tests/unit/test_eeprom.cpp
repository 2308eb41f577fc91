// The board EEPROM and the device at 0x20 on the emulated I2C buses.
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/ioctl.h>
#include <linux/i2c-dev.h>

#include "hw/eeprom.h"
#include "support/test_board.h"

namespace {

const std::vector<std::string> I2C_REQUESTS = {"i2c-", "usleep", "open /dev/i2c", "close /dev/i2c"};

std::string format(const char* pattern, int number)
{
    char text[160];
    snprintf(text, sizeof text, pattern, number);
    return text;
}

class EepromTest : public ::testing::Test {
protected:
    TestBoard board;

    void open_buses()
    {
        std::string out = capture_stdout([] { EXPECT_EQ(i2c_open_buses(), 0); });
        EXPECT_EQ(out, "");
        board.clear_log();
    }

    std::vector<std::string> requests() { return log_lines_starting(board.log(), I2C_REQUESTS); }
};

TEST_F(EepromTest, OpensBothBusesReadWrite)
{
    EXPECT_EQ(i2c_open_buses(), 0);
    EXPECT_GT(i2c_bus_fd[0], 0);
    EXPECT_GT(i2c_bus_fd[1], 0);
    EXPECT_EQ(requests(), (std::vector<std::string>{"open /dev/i2c-0 O_RDWR", "open /dev/i2c-1 O_RDWR"}));

    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_EQ(i2c_bus_fd[0], 0);
    EXPECT_EQ(i2c_bus_fd[1], 0);
    EXPECT_EQ(log_lines_starting(board.log(), {"close"}),
              (std::vector<std::string>{"close /dev/i2c-0", "close /dev/i2c-1"}));
}

TEST_F(EepromTest, SetBootModeSendsItsRequestsInOrder)
{
    open_buses();
    EXPECT_EQ(set_boot_mode(4), 3);
    std::vector<std::string> expected = {
        "i2c-1 slave 0x20",
        "i2c-1 smbus-read 0x20 reg 4 -> 0x2c",
        "i2c-1 smbus-write 0x20 reg 12 = 0x24",
        "i2c-0 slave 0x54",
        "i2c-0 write 0x54 01 3a 04",
        "usleep 100000",
    };
    EXPECT_EQ(requests(), expected);
    EXPECT_EQ(board.eeprom(EEPROM_BOOT_MODE), 4);
    EXPECT_EQ(board.i2c1_register(12), 0x24);
}

TEST_F(EepromTest, Register12IsRegister4WithBit3Cleared)
{
    open_buses();
    const std::pair<uint8_t, uint8_t> cases[] = {{0x2C, 0x24}, {0x08, 0x00}, {0x24, 0x24}, {0xFF, 0xF7}};
    for (auto [reg4, reg12] : cases) {
        SCOPED_TRACE(reg4);
        board.set_i2c1_register(4, reg4);
        board.set_i2c1_register(12, 0x5A);
        set_boot_slot(1);
        EXPECT_EQ(board.i2c1_register(12), reg12);
        EXPECT_EQ(board.i2c1_register(4), reg4) << "register 4 is only read";
    }
}

TEST_F(EepromTest, FailedRegister4ReadLeavesRegister12AndStillWritesTheEeprom)
{
    open_buses();
    board.set_i2c1_register(12, 0x5A);
    board.set_faults("i2c smbus-fail 1 1\n");
    std::string out = capture_stdout([] { EXPECT_EQ(set_boot_slot(2), 3); });
    EXPECT_EQ(out, "") << "failures on bus 1 are silent";
    EXPECT_EQ(board.i2c1_register(12), 0x5A);
    EXPECT_EQ(log_lines_starting(board.log(), {"i2c-1 smbus-write"}).size(), 0u);
    EXPECT_EQ(board.eeprom(EEPROM_BOOT_SLOT), 2);
}

TEST_F(EepromTest, BootSlotAndMarkerAreReadAfresh)
{
    open_buses();
    board.set_eeprom(EEPROM_BOOT_SLOT, 2);
    board.set_eeprom(EEPROM_USB_BOOT_MARKER, USB_BOOT_ENABLED);
    EXPECT_EQ(get_boot_slot(), 2);
    EXPECT_EQ(get_usb_boot_marker(), 0xD5);
    std::vector<std::string> expected = {
        "i2c-0 slave 0x54", "i2c-0 write 0x54 01 00", "i2c-0 read 0x54 offset 256 count 1",
        "i2c-0 slave 0x54", "i2c-0 write 0x54 01 3b", "i2c-0 read 0x54 offset 315 count 1",
    };
    EXPECT_EQ(requests(), expected);

    board.set_eeprom(EEPROM_BOOT_SLOT, 0xFF);
    EXPECT_EQ(get_boot_slot(), 0xFF);
    EXPECT_EQ(set_boot_slot(1), 3);
    EXPECT_EQ(get_boot_slot(), 1);
    EXPECT_EQ(board.eeprom(EEPROM_BOOT_SLOT + 1), 0xFF) << "one cell is written, no more";
}

TEST_F(EepromTest, MissingBus0IsReportedOnceAndEveryAccessFailsAtTheSlaveAddress)
{
    board.set_faults("missing /dev/i2c-0\n");
    board.set_eeprom(EEPROM_BOOT_SLOT, 2);
    std::string out = capture_stdout([] { EXPECT_EQ(i2c_open_buses(), -1); });
    EXPECT_EQ(out, "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(i2c_bus_fd[1], -1) << "bus 1 is left unopened";
    EXPECT_EQ(log_lines_starting(board.log(), {"open /dev/i2c-1"}).size(), 0u);

    // The errno of a request on a descriptor that never opened: EBADF from the kernel, ENOSYS
    // under user-mode emulation, which refuses unknown requests before it looks at the descriptor.
    errno = 0;
    ioctl(-1, I2C_SLAVE, 0x54);
    const int bad_fd_errno = errno;

    uint8_t slot = 0xEE;
    out = capture_stdout([&] { slot = get_boot_slot(); });
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(out, format("I2C error when setting bus 0, device 0xa8: %d\n", bad_fd_errno));
    out = capture_stdout([&] { slot = get_usb_boot_marker(); });
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(out, format("I2C error when setting bus 0, device 0xa8: %d\n", bad_fd_errno));

    board.clear_log();
    int result = 0;
    out = capture_stdout([&] { result = set_boot_mode(4); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, format("I2C error when setting bus 0: %d\n", bad_fd_errno));
    EXPECT_EQ(log_lines_starting(board.log(), {"usleep"}).size(), 0u) << "no pause without a write";
}

TEST_F(EepromTest, MissingBus1LeavesTheEepromUsable)
{
    board.set_faults("missing /dev/i2c-1\n");
    std::string out = capture_stdout([] { EXPECT_EQ(i2c_open_buses(), -1); });
    EXPECT_EQ(out, "ERROR: driver /dev/i2c-1 couldn't be opened\n");
    out = capture_stdout([] { EXPECT_EQ(set_boot_slot(2), 3); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(board.eeprom(EEPROM_BOOT_SLOT), 2);
}

TEST_F(EepromTest, FailingSlaveAddressOnBus0)
{
    open_buses();
    board.set_eeprom(EEPROM_BOOT_MODE, 1);
    board.set_faults("i2c slave-fail 0\n");
    uint8_t slot = 0xEE;
    std::string out = capture_stdout([&] { slot = get_boot_slot(); });
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(out, format("I2C error when setting bus 0, device 0xa8: %d\n", EBUSY));

    board.clear_log();
    int result = 0;
    out = capture_stdout([&] { result = set_boot_mode(3); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, format("I2C error when setting bus 0: %d\n", EBUSY));
    EXPECT_EQ(board.eeprom(EEPROM_BOOT_MODE), 1);
    EXPECT_EQ(log_lines_starting(board.log(), {"usleep", "i2c-0 write"}).size(), 0u);
}

TEST_F(EepromTest, ShortReadOfTheBootSlotYieldsThePresetByte)
{
    open_buses();
    board.set_eeprom(EEPROM_BOOT_SLOT, 2);
    board.set_faults("i2c short-read 0\n");
    errno = EINVAL;  // an earlier call's leftover must not show
    uint8_t slot = 0xEE;
    std::string out = capture_stdout([&] { slot = get_boot_slot(); });
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(out, "I2C error - device 0xa8 @ 256, 1 bytes : 0\n");
}

TEST_F(EepromTest, FailingOffsetWriteOfARead)
{
    open_buses();
    board.set_faults("i2c write-fail 0 1\n");
    std::string out = capture_stdout([] { EXPECT_EQ(get_usb_boot_marker(), 0); });
    EXPECT_EQ(out, format("I2C error - device 0xa8 writing bus 0 offset 315: %d\n", EREMOTEIO));
    EXPECT_EQ(log_lines_starting(board.log(), {"i2c-0 read"}).size(), 0u);
}

TEST_F(EepromTest, FailingEepromWriteStillPausesAndKeepsTheCell)
{
    open_buses();
    board.set_eeprom(EEPROM_BOOT_MODE, 2);
    board.set_faults("i2c write-fail 0\n");
    int result = 0;
    std::string out = capture_stdout([&] { result = set_boot_mode(4); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, format("I2C error when writing bus 0 offset 314: %d\n", EREMOTEIO));
    EXPECT_EQ(board.eeprom(EEPROM_BOOT_MODE), 2);
    std::vector<std::string> tail = requests();
    ASSERT_GE(tail.size(), 2u);
    EXPECT_EQ(tail[tail.size() - 2], "i2c-0 write 0x54 01 3a 04 failed EREMOTEIO (injected)");
    EXPECT_EQ(tail.back(), "usleep 100000");
}

}  // namespace
