// The USB stick, mounted outside the program at "/mnt/usb" with "/tmp/usb" as readiness marker.
#pragma once
#include <cstdint>

#include "common/ending.h"

// Set at start from the EEPROM marker, and cleared when the stick never becomes ready.
extern uint8_t usb_boot_enabled;

// Waits for the stick's readiness marker: 0 when ready (or USB boot is off), -1 on time-out.
int mount_usb();
// Installs the stick's boot package: END_REBOOT once something was installed.
Ending check_usb_boot_image();
// Installs the stick's slot replacements: the slot to boot when one was installed, 3 when the
// stick holds an application image to boot, else 0.
int check_usb_replacements();
// The rescue menu's chooser of a file of the stick to install.
Ending usb_install_menu();
