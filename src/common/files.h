// Files of the switch's own file systems: existence tests, the two application image slots and
// the sources a boot takes its image from.
#pragma once

// Where the application image is booted from, numbered as the EEPROM's boot mode records it:
// "/user/images/image1", "/user/images/image2" or the USB stick's image; none chosen yet is 0.
enum BootSource { NO_BOOT_SOURCE = 0, BOOT_SLOT_1 = 1, BOOT_SLOT_2 = 2, BOOT_USB_STICK = 3 };
// A BootSource of slot 1 or slot 2.
using BootSlot = BootSource;

bool path_exists(const char* path);
// "/user/images/image1" or "/user/images/image2"; nullptr for any other number.
const char* slot_image_path(int slot);
// Slot 2 for slot 1, slot 1 for slot 2, none for anything else (the USB stick has no other slot).
BootSource other_slot(int slot);
