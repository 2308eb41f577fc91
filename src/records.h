// Every process-wide record of the boot manager, in one place. Each is created at start and
// lives until the process is replaced or ends.
#pragma once
#include "boot/app_start.h"          // command_buffer
#include "boot/boot_options.h"       // boot_options
#include "boot/boot_sequence.h"      // break_requested, usb_boot_enabled, fallback_attempt
#include "console/serial_download.h" // saved_serial_settings
#include "hw/eeprom.h"               // i2c_bus_fd
#include "hw/flash.h"                // flash_partitions
