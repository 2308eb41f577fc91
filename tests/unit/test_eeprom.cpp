// The board EEPROM and the device at 0x20 on the emulated I2C buses, and the SMBus byte-data
// transfers that reach that device.
// Faults tried (src/hw/eeprom.cpp; src/hw/smbus.cpp in a build without libi2c; the emulator's
// SMBus answers) and the test that caught each:
//   closed buses marked 0, the boot slot cached, the guard mask keeping bit 3, the helper's read
//   sign-extending or its write sending 0, the emulator's SMBus write not stored or its read of
//   the wrong register -> RequestsInOrder;
//   register 12 written after a failed read of register 4, no EEPROM write without bus 1, opening
//   going on after a missing bus 0, i2c_open_buses reporting success, no pause after a failed
//   write, a pause without a write, a stale errno on a short read, the boot slot or marker
//   preset to 0xFF, the slave error without errno -> MissingBusesAndTransferFailures;
//   the helper's failed write returning -2, the emulator's SMBus write stored despite the
//   fault -> Smbus.FailsWithErrno.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <tuple>

#include "devices.h"
#include "hw/eeprom.h"
#include "hw/smbus.h"
#include "support/test_board.h"

namespace {

using Lines = std::vector<std::string>;

std::string with_errno(const std::string& message, int number) { return message + std::to_string(number) + "\n"; }
int read_slot_and_marker() { return get_boot_slot() + get_usb_boot_marker(); }
int write_mode_4() { return set_boot_mode(4); }
int write_slot_1() { return set_boot_slot(1); }
int read_slot_after_einval() { return errno = EINVAL, get_boot_slot(); }

struct EepromTest : ::testing::Test {
    TestBoard board;
};

// Each read sends the cell's two-byte address, then reads one byte: nothing is kept from an
// earlier read. Before an EEPROM write, register 12 of the device at 0x20 gets register 4 with
// bit 3 cleared; then one write of address and value, and a pause for the EEPROM's write cycle.
// Closing sets the records to -1.
TEST_F(EepromTest, RequestsInOrder) {
    EXPECT_EQ(i2c_open_buses(), 0);
    board.set_eeprom(EEPROM_BOOT_SLOT, 2);
    board.set_eeprom(EEPROM_USB_BOOT_MARKER, USB_BOOT_ENABLED);
    EXPECT_EQ((std::tuple{get_boot_slot(), get_usb_boot_marker()}), std::tuple(2, 0xD5));
    board.set_eeprom(EEPROM_BOOT_SLOT, 0xFF);
    EXPECT_EQ((std::tuple{get_boot_slot(), set_boot_mode(4), i2c_close_buses(), i2c_bus_fd[0], i2c_bus_fd[1]}),
              std::tuple(0xFF, 3, 0, -1, -1));
    EXPECT_EQ(std::tuple(board.eeprom(EEPROM_BOOT_MODE), board.eeprom(EEPROM_BOOT_MODE + 1)), std::tuple(4, 0xD5));
    EXPECT_EQ(log_lines_starting(board.log(), {"i2c-", "usleep", "open /dev/i2c", "close /dev/i2c"}),
              (Lines{"open /dev/i2c-0 O_RDWR", "open /dev/i2c-1 O_RDWR", "i2c-0 slave 0x54", "i2c-0 write 0x54 01 00",
                     "i2c-0 read 0x54 offset 256 count 1", "i2c-0 slave 0x54", "i2c-0 write 0x54 01 3b",
                     "i2c-0 read 0x54 offset 315 count 1", "i2c-0 slave 0x54", "i2c-0 write 0x54 01 00",
                     "i2c-0 read 0x54 offset 256 count 1", "i2c-1 slave 0x20", "i2c-1 smbus-read 0x20 reg 4 -> 0x2c",
                     "i2c-1 smbus-write 0x20 reg 12 = 0x24", "i2c-0 slave 0x54", "i2c-0 write 0x54 01 3a 04",
                     "usleep 100000", "close /dev/i2c-0", "close /dev/i2c-1"}));
    EXPECT_EQ(i2c_open_buses(), 0);
    for (auto [reg4, reg12] : {std::pair<uint8_t, uint8_t>{0x08, 0x00}, {0x24, 0x24}, {0xFF, 0xF7}}) {
        board.set_i2c1_register(4, reg4);
        board.set_i2c1_register(12, 0x5A);
        set_boot_slot(1);
        EXPECT_EQ(std::tuple(board.i2c1_register(4), board.i2c1_register(12)), std::tuple(reg4, reg12)) << int(reg4);
    }
}

// Each failing open or transfer has its message; the boot mode cell keeps its value. Without
// /dev/i2c-0, bus 1 is left unopened and every EEPROM access fails at the slave address with the
// errno of a descriptor that never opened: EBADF from the kernel, ENOSYS under user-mode
// emulation, which refuses unknown requests first. Without /dev/i2c-1, or when its transfers
// fail, the EEPROM is still written and register 12 left alone.
TEST_F(EepromTest, MissingBusesAndTransferFailures) {
    const int bad_fd = (ioctl(-1, I2C_SLAVE, 0x54), errno);
    const std::string no_bus0 = "ERROR: driver /dev/i2c-0 couldn't be opened\n",
                      no_bus1 = "ERROR: driver /dev/i2c-1 couldn't be opened\n",
                      read_slave = "I2C error when setting bus 0, device 0xa8: ",
                      write_slave = "I2C error when setting bus 0: ",
                      read_address = with_errno("I2C error - device 0xa8 writing bus 0 offset 315: ", EREMOTEIO),
                      write_failed = with_errno("I2C error when writing bus 0 offset 314: ", EREMOTEIO),
                      bad_fd_read = with_errno(read_slave, bad_fd);
    const Lines slot_written = {"i2c-0 write 0x54 01 00 01"},
                failed_write_paused = {"i2c-0 write 0x54 01 3a 04 failed EREMOTEIO (injected)", "usleep 100000"};
    // lines: the log lines that start with one of the prefixes.
    const struct {
        std::string faults;
        std::function<int()> call;
        int result;
        std::string out;
        Lines prefixes = {}, lines = {};
    } cases[] = {
        {"missing /dev/i2c-0\n", read_slot_and_marker, 0, no_bus0 + bad_fd_read + bad_fd_read, {"open /dev/i2c-1"}},
        {"missing /dev/i2c-1\n", write_slot_1, 3, no_bus1, {"i2c-0 write"}, slot_written},
        {"i2c smbus-fail 1 1\n", write_slot_1, 3, "", {"i2c-1 smbus-write", "i2c-0 write"}, slot_written},
        // No pause without a write.
        {"i2c slave-fail 0\n", write_mode_4, -1, with_errno(write_slave, EBUSY), {"usleep", "i2c-0 write"}},
        // The byte of a short read is the preset 0; errno is not shown, whatever it was before.
        {"i2c short-read 0\n", read_slot_after_einval, 0, "I2C error - device 0xa8 @ 256, 1 bytes : 0\n"},
        {"i2c write-fail 0 1\n", get_usb_boot_marker, 0, read_address, {"i2c-0 read"}},
        // A failing EEPROM write still pauses.
        {"i2c write-fail 0\n", write_mode_4, -1, write_failed, {"i2c-0 write", "usleep"}, failed_write_paused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        board.set_eeprom(EEPROM_BOOT_SLOT, 2);
        board.set_eeprom(EEPROM_BOOT_MODE, 1);
        board.set_faults(c.faults);
        sim_devices_attach(board.dir.c_str());  // fault counters start again
        board.clear_log();
        int opened = 7, result = 7;
        EXPECT_EQ(capture_stdout([&] { opened = i2c_open_buses(), result = c.call(); }), c.out);
        const int open_result = c.faults.rfind("missing", 0) == 0 ? -1 : 0;
        EXPECT_EQ(std::tuple(opened, result, board.eeprom(EEPROM_BOOT_MODE)), std::tuple(open_result, c.result, 1));
        EXPECT_EQ(log_lines_starting(board.log(), c.prefixes), c.lines);
        close_board_devices();
    }
}

// The SMBus byte-data transfers: libi2c on the host, the project's own helper over I2C_SMBUS on
// the target (their values are covered by RequestsInOrder). Both fail with errno, libi2c
// returning the negative errno, the helper -1; a failed write stores nothing.
TEST(Smbus, FailsWithErrno) {
    TestBoard board;
    int fd = open("/dev/i2c-1", O_RDWR);
    ASSERT_EQ(ioctl(fd, I2C_SLAVE, 0x20), 0);
    board.set_faults("i2c smbus-fail 1\n");
#ifdef BM_HAVE_LIBI2C
    const int failed = -EREMOTEIO;
#else
    const int failed = -1;
#endif
    // A call's result, and the errno it left.
    auto failure = [](auto call) { return errno = 0, std::pair(call(), errno); };
    EXPECT_EQ(failure([&] { return i2c_smbus_read_byte_data(fd, 12); }), std::pair(failed, EREMOTEIO));
    EXPECT_EQ(failure([&] { return i2c_smbus_write_byte_data(fd, 12, 0x5A); }), std::pair(failed, EREMOTEIO));
    EXPECT_EQ(board.i2c1_register(12), 0);
    close(fd);
}

}  // namespace
