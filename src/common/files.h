// Files of the switch's own file systems: existence tests, the two application image slots and
// the sources a boot takes its image from.
#pragma once
#include <cstdint>

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

// A slot file is never rewritten in place while /user can hold a second copy: the new image is
// written (and synced) beside it, at slot_write_path, and commit_slot_file renames it over the
// slot file once whole, so that a power cut leaves the old image or the new one, never part of
// one. Without room for both, slot_write_path says so on the console and gives the slot file.
const char* slot_copy_path(int slot);
const char* slot_write_path(int slot, uint64_t size);
// True when the slot file now holds the size bytes written to written; a copy that is not whole
// or cannot be renamed is removed, and the slot keeps its old image.
bool commit_slot_file(int slot, const char* written, uint64_t size);
// Puts a file that another program wrote onto the medium.
void sync_file(const char* path);
