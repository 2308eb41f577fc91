// placeholder until the I2C code lands
#include "hw/eeprom.h"
int i2c_open_buses() { return -1; }
int i2c_close_buses() { return 0; }
void i2c_read(int, uint8_t, uint16_t, int, int, uint8_t*) {}
void eeprom_read(uint16_t, int, uint8_t*) {}
int eeprom_write_byte(uint16_t, uint8_t) { return -1; }
uint8_t get_boot_slot() { return 0; }
uint8_t get_usb_boot_marker() { return 0; }
int set_boot_slot(uint8_t) { return -1; }
int set_boot_mode(uint8_t) { return -1; }
