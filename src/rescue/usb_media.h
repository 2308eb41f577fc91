// The USB stick, mounted outside the program at "/mnt/usb" with "/tmp/usb" as readiness marker.
#pragma once
#include <dirent.h>

#include <cstdint>

#include "common/ending.h"
#include "common/files.h"

// Set at start from the EEPROM marker, and cleared when the stick never becomes ready.
extern uint8_t usb_boot_enabled;

// Waits for the stick's readiness marker: 0 when ready (or USB boot is off), -1 on time-out.
int mount_usb();
// Installs the stick's boot package: END_REBOOT once something was installed.
Ending check_usb_boot_image();
// Installs the stick's slot replacements: the slot to boot when one was installed, the stick
// when it holds an application image to boot, else none.
BootSource check_usb_replacements();
// The rescue menu's chooser of a file of the stick to install.
Ending usb_install_menu();

// ---- The steps of the chooser that touch neither the console nor the installer: reading an
// answer, listing and finding the stick's installable entries.

enum UsbMenuAnswer { USB_ANSWER_QUIT, USB_ANSWER_NUMBER, USB_ANSWER_INVALID };

// q or Q first quits; a leading decimal number (blanks before it allowed, anything after it
// ignored) is taken into *number; anything else is invalid.
UsbMenuAnswer parse_usb_menu_answer(const char* line, int* number);
// True for an entry of the working directory that the chooser offers: anything but a directory.
bool usb_entry_offered(const char* name);
// Prints every offered entry of dir with "\t%d: %s\n", numbered from 1; returns the count.
// The working directory must be the one that dir lists.
int list_usb_entries(DIR* dir);
// The name of offered entry number `number` (same numbering as the list), or nullptr when the
// directory ends first. The name lives until dir is closed or read again.
const char* find_usb_entry(DIR* dir, int number);
