// Board EEPROM on I2C bus 0, and the device at 0x20 on bus 1 that is touched before every
// EEPROM write.
#include "hw/eeprom.h"
#include "hw/smbus.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

namespace {

constexpr uint8_t GUARD_SOURCE_REGISTER = 4;
constexpr uint8_t GUARD_TARGET_REGISTER = 12;
constexpr uint8_t GUARD_CLEAR_MASK = 0xF7;            // bit 3 cleared, the other bits kept
constexpr useconds_t EEPROM_WRITE_PAUSE_US = 100000;  // the EEPROM's internal write cycle

// Copies register 4 of the device at 0x20, bit 3 cleared, into its register 12. Nothing here
// stops the EEPROM write: failures are silent.
void clear_write_guard() {
    int fd = i2c_bus_fd[1];
    ioctl(fd, I2C_SLAVE, WRITE_GUARD_DEVICE);
    int source = i2c_smbus_read_byte_data(fd, GUARD_SOURCE_REGISTER);
    // Without the register's value there is nothing sound to write back: a failed read must
    // not set every other output of the device.
    if (source < 0) return;
    uint8_t value = static_cast<uint8_t>(source) & GUARD_CLEAR_MASK;
    i2c_smbus_write_byte_data(fd, GUARD_TARGET_REGISTER, value);
}

}  // namespace

int i2c_bus_fd[I2C_BUS_COUNT] = {-1, -1};

int i2c_open_buses() {
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) {
        char path[32];
        snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        i2c_bus_fd[bus] = open(path, O_RDWR);
        if (i2c_bus_fd[bus] < 0) {
            printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int i2c_close_buses() {
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) {
        if (i2c_bus_fd[bus] > 0) {
            close(i2c_bus_fd[bus]);
            // Not 0: that is the console, where a later EEPROM access would send its requests.
            i2c_bus_fd[bus] = -1;
        }
    }
    return 0;
}

// A random read: the offset in one write transfer, then count bytes in one read transfer.
void i2c_read(int bus, uint8_t device_8bit, uint16_t offset, int count, int address_len, uint8_t* buffer) {
    int fd = i2c_bus_fd[bus];
    if (ioctl(fd, I2C_SLAVE, device_8bit >> 1) < 0) {
        printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device_8bit, errno);
        return;
    }
    const uint8_t offset_bytes[2] = {static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset & 0xFF)};
    const uint8_t* sent = address_len == 2 ? offset_bytes : offset_bytes + 1;
    size_t sent_len = address_len == 2 ? 2 : 1;
    if (write(fd, sent, sent_len) < 0) {
        printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device_8bit, bus, offset, errno);
        return;
    }
    // A short read sets no errno: report 0 rather than an earlier call's leftover.
    errno = 0;
    if (read(fd, buffer, count) != count)
        printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device_8bit, offset, count, errno);
}

void eeprom_read(uint16_t offset, int count, uint8_t* buffer) {
    i2c_read(0, EEPROM_DEVICE_8BIT, offset, count, 2, buffer);
}

int eeprom_write_byte(uint16_t offset, uint8_t value) {
    clear_write_guard();
    const uint8_t bytes[3] = {static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset & 0xFF), value};

    int fd = i2c_bus_fd[0];
    int result = ioctl(fd, I2C_SLAVE, EEPROM_DEVICE);
    if (result < 0) {
        printf("I2C error when setting bus %d: %d\n", 0, errno);
        return result;
    }
    result = static_cast<int>(write(fd, bytes, sizeof bytes));
    int write_errno = errno;  // the pause must not replace the write's error
    usleep(EEPROM_WRITE_PAUSE_US);
    if (result < 0) printf("I2C error when writing bus %d offset %d: %d\n", 0, offset, write_errno);
    return result;
}

uint8_t get_boot_slot() {
    uint8_t slot = 0;
    eeprom_read(EEPROM_BOOT_SLOT, 1, &slot);
    return slot;
}

uint8_t get_usb_boot_marker() {
    uint8_t marker = 0;
    eeprom_read(EEPROM_USB_BOOT_MARKER, 1, &marker);
    return marker;
}

int set_boot_slot(uint8_t slot) { return eeprom_write_byte(EEPROM_BOOT_SLOT, slot); }

int set_boot_mode(uint8_t mode) { return eeprom_write_byte(EEPROM_BOOT_MODE, mode); }
