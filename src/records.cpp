#include "records.h"

BootOptions boot_options;
volatile std::sig_atomic_t break_requested = 0;
uint8_t usb_boot_enabled = 0;
uint8_t fallback_attempt = 0;
char command_buffer[COMMAND_BUFFER_SIZE];
struct termios saved_serial_settings;
int i2c_bus_fd[I2C_BUS_COUNT] = {-1, -1};
FlashPartitions flash_partitions;
