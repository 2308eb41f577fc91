// Board EEPROM on I2C bus 0 and the companion device at 0x20 on bus 1.
#pragma once
#include <cstdint>

// Cells of the board EEPROM (7-bit address 0x54 on bus 0) that hold boot state.
enum BoardEeprom : uint16_t {
    EEPROM_BOOT_SLOT = 0x100,        // slot to boot: 1 or 2, anything else means 1
    EEPROM_BOOT_MODE = 0x13A,        // what was started last: 1, 2, 3 (USB) or 4 (rescue partition)
    EEPROM_USB_BOOT_MARKER = 0x13B,  // USB_BOOT_ENABLED allows booting from a USB stick
};

constexpr uint8_t USB_BOOT_ENABLED = 0xD5;
constexpr uint8_t EEPROM_DEVICE_8BIT = 0xA8;  // 0x54 in the 8-bit form i2c_read takes
constexpr uint8_t EEPROM_DEVICE = 0x54;
constexpr uint8_t WRITE_GUARD_DEVICE = 0x20;  // device on bus 1 touched before every EEPROM write
constexpr int I2C_BUS_COUNT = 2;

// Descriptors of /dev/i2c-0 and /dev/i2c-1: the open() result, -1 before the open and once closed.
extern int i2c_bus_fd[I2C_BUS_COUNT];

int i2c_open_buses();
int i2c_close_buses();
void i2c_read(int bus, uint8_t device_8bit, uint16_t offset, int count, int address_len, uint8_t* buffer);
void eeprom_read(uint16_t offset, int count, uint8_t* buffer);
int eeprom_write_byte(uint16_t offset, uint8_t value);

uint8_t get_boot_slot();
uint8_t get_usb_boot_marker();
int set_boot_slot(uint8_t slot);
int set_boot_mode(uint8_t mode);
