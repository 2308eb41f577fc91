// The board EEPROM and the device at 0x20 on the emulated I2C buses, and the SMBus byte-data
// transfers that reach that device.
// Faults tried (src/hw/eeprom.cpp; src/hw/smbus.cpp in a build without libi2c; the emulator's
// SMBus answers), caught by Eeprom.RequestsInOrderAndEveryFailure, the last two by
// EmulatedI2cDev.PlainReadsAreCutAndMalformedSmbusRequestsRefused:
//   closed buses marked 0, the boot slot cached, the guard mask keeping bit 3, the helper's read
//   sign-extending or its write sending 0, the emulator's SMBus write not stored or its read of
//   the wrong register, register 12 written after a failed read of register 4, no EEPROM write
//   without bus 1, opening going on after a missing bus 0, i2c_open_buses reporting success, no
//   pause after a failed write, a pause without a write, a stale errno on a short read, the boot
//   slot or marker preset to 0xFF, the slave error without errno, the helper's failed write
//   returning -2, the emulator's SMBus write stored despite the fault, its plain read not cut to
//   i2c-dev's 8192 bytes, its SMBus request without data answered EFAULT (i2c-dev: EINVAL).
#include <gtest/gtest.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
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
int read_slot_after_einval() {
    errno = EINVAL;
    return get_boot_slot();
}
int close_buses() { return i2c_close_buses() + i2c_bus_fd[0] + i2c_bus_fd[1]; }
// Both SMBus transfers to register 12 of bus 1 failing alike with errno (libi2c on the host
// returns the negative errno, the project's own helper over I2C_SMBUS on the target -1).
int smbus_both_fail() {
    ioctl(i2c_bus_fd[1], I2C_SLAVE, 0x20);
    errno = 0;
    int read = i2c_smbus_read_byte_data(i2c_bus_fd[1], 12);
    bool read_failed = read < 0 && errno == EREMOTEIO;
    errno = 0;
    int written = i2c_smbus_write_byte_data(i2c_bus_fd[1], 12, 0x33);
    return read_failed && written == read && errno == EREMOTEIO;
}

// Each read sends the cell's two-byte address, then reads one byte: nothing is kept from an
// earlier read. Before an EEPROM write, register 12 of the device at 0x20 gets register 4 with
// bit 3 cleared; then one write of address and value, and a pause for the EEPROM's write cycle.
// Closing sets the records to -1.
// Each failing open or transfer has its message; the boot mode cell keeps its value. Without
// /dev/i2c-0, bus 1 is left unopened and every EEPROM access fails at the slave address with the
// errno of a descriptor that never opened: EBADF from the kernel, ENOSYS under user-mode
// emulation, which refuses unknown requests first. Without /dev/i2c-1, or when its transfers
// fail, the EEPROM is still written and register 12 left alone.
TEST(Eeprom, RequestsInOrderAndEveryFailure) {
    ioctl(-1, I2C_SLAVE, 0x54);
    const int bad_fd = errno;
    const std::string no_bus0 = "ERROR: driver /dev/i2c-0 couldn't be opened\n",
                      no_bus1 = "ERROR: driver /dev/i2c-1 couldn't be opened\n",
                      bad_fd_read = with_errno("I2C error when setting bus 0, device 0xa8: ", bad_fd),
                      read_address = with_errno("I2C error - device 0xa8 writing bus 0 offset 315: ", EREMOTEIO),
                      write_failed = with_errno("I2C error when writing bus 0 offset 314: ", EREMOTEIO),
                      slave_failed = with_errno("I2C error when setting bus 0: ", EBUSY),
                      no_bus0_reads = no_bus0 + bad_fd_read + bad_fd_read,
                      short_read = "I2C error - device 0xa8 @ 256, 1 bytes : 0\n";
    const Lines slot_written = {"i2c-0 write 0x54 01 00 01"}, pause = {"i2c-0 write", "usleep"},
                failed_write_paused = {"i2c-0 write 0x54 01 3a 04 failed EREMOTEIO (injected)", "usleep 100000"},
                reads = {"i2c-0 slave 0x54", "i2c-0 write 0x54 01 00", "i2c-0 read 0x54 offset 256 count 1",
                         "i2c-0 slave 0x54", "i2c-0 write 0x54 01 3b", "i2c-0 read 0x54 offset 315 count 1"},
                guarded_write = {
                    "i2c-1 slave 0x20", "i2c-1 smbus-read 0x20 reg 4 -> 0x2c", "i2c-1 smbus-write 0x20 reg 12 = 0x24",
                    "i2c-0 slave 0x54", "i2c-0 write 0x54 01 3a 04",           "usleep 100000"};
    TestBoard board;
    // Register 12 after writes with register 4 at 0x08, 0x24, 0xFF and its power-on value, one
    // byte each.
    auto guard_values = [&] {
        int values = 0;
        for (uint8_t reg4 : {0x08, 0x24, 0xFF, 0x2C}) {
            board.set_i2c1_register(4, reg4);
            set_boot_slot(1);
            values = values << 8 | board.i2c1_register(12);
        }
        return values;
    };
    // lines: the log lines that start with one of the prefixes; reg12: register 12 of the device
    // at 0x20 afterwards (0x5A before).
    const struct {
        const char* what;
        std::string faults;
        std::function<int()> call;
        int result;
        std::string out;
        Lines prefixes = {}, lines = {};
        uint8_t mode = 1, reg12 = 0x5A;
    } cases[] = {
        // First, on the erased EEPROM: values are read as they are.
        {"erased cells read", "", read_slot_and_marker, 0xFF + 0xFF, "", {"i2c-"}, reads},
        {"guarded write", "", write_mode_4, 3, "", {"i2c-", "usleep"}, guarded_write, 4, 0x24},
        {"guard keeps all but bit 3", "", guard_values, 0x0024F724, "", {}, {}, 1, 0x24},
        {"buses closed", "", close_buses, -2, "", {"close /dev/i2c"}, {"close /dev/i2c-0", "close /dev/i2c-1"}},
        {"no bus 0", "missing /dev/i2c-0\n", read_slot_and_marker, 0, no_bus0_reads, {"open /dev/i2c-1"}},
        {"no bus 1", "missing /dev/i2c-1\n", write_slot_1, 3, no_bus1, {"i2c-0 write"}, slot_written},
        {"unguarded", "i2c smbus-fail 1 1\n", write_slot_1, 3, "", {"i2c-1 smbus-write", "i2c-0 write"}, slot_written},
        // No pause without a write.
        {"slave refused", "i2c slave-fail 0\n", write_mode_4, -1, slave_failed, pause, {}, 1, 0x24},
        // The byte of a short read is the preset 0; errno is not shown, whatever it was before.
        {"short read", "i2c short-read 0\n", read_slot_after_einval, 0, short_read},
        {"address write fails", "i2c write-fail 0 1\n", get_usb_boot_marker, 0, read_address, {"i2c-0 read"}},
        // A failing EEPROM write still pauses.
        {"write fails", "i2c write-fail 0\n", write_mode_4, -1, write_failed, pause, failed_write_paused, 1, 0x24},
        // A failed SMBus write stores nothing.
        {"both SMBus transfers fail", "i2c smbus-fail 1\n", smbus_both_fail, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        board.set_eeprom(EEPROM_BOOT_MODE, 1);
        board.set_i2c1_register(12, 0x5A);
        board.set_faults(c.faults);
        sim_devices_attach(board.dir.c_str());  // fault counters start again
        board.clear_log();
        int opened = 7, result = 7;
        auto open_and_call = [&] {
            opened = i2c_open_buses();
            result = c.call();
        };
        EXPECT_EQ(capture_stdout(open_and_call), c.out);
        EXPECT_EQ(std::tuple(opened, result, board.eeprom(EEPROM_BOOT_MODE), board.i2c1_register(12)),
                  std::tuple(c.faults.rfind("missing", 0) == 0 ? -1 : 0, c.result, c.mode, c.reg12));
        EXPECT_EQ(log_lines_starting(board.log(), c.prefixes), c.lines);
        close_board_devices();
    }
}

// What i2c-dev rules whatever the device: a plain read is cut to 8192 bytes; an SMBus request
// without its data block, or of a size i2c-dev does not know, is invalid.
TEST(EmulatedI2cDev, PlainReadsAreCutAndMalformedSmbusRequestsRefused) {
    TestBoard board;
    ASSERT_EQ(i2c_open_buses(), 0);
    static char buffer[8193];
    i2c_smbus_ioctl_data no_data = {I2C_SMBUS_READ, 4, I2C_SMBUS_BYTE_DATA, nullptr}, unknown = no_data;
    unknown.size = I2C_SMBUS_I2C_BLOCK_DATA + 1;
    ioctl(i2c_bus_fd[1], I2C_SLAVE, 0x20);
    for (i2c_smbus_ioctl_data* request : {&no_data, &unknown}) {
        EXPECT_EQ(ioctl(i2c_bus_fd[1], I2C_SMBUS, request), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(read(i2c_bus_fd[1], buffer, sizeof buffer), 8192);
}

}  // namespace
