// Files of the switch's own file systems: existence tests and the two application image slots.
#pragma once
#include <cstdint>

// 1 = "/user/images/image1", 2 = "/user/images/image2", 3 = the USB stick image, 0 = none yet.
using BootSource = int;
// A BootSource of 1 or 2.
using BootSlot = int;

bool path_exists(const char* path);
// "/user/images/image1" or "/user/images/image2"; nullptr for any other number.
const char* slot_image_path(int slot);
// 2 for slot 1, 1 for slot 2, 0 for anything else (the USB stick has no other slot).
int other_slot(int slot);

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
