// Files of the switch's own file systems: existence tests and the two application image slots.
#pragma once

// 1 = "/user/images/image1", 2 = "/user/images/image2", 3 = the USB stick image, 0 = none yet.
using BootSource = int;
// A BootSource of 1 or 2.
using BootSlot = int;

bool path_exists(const char* path);
// "/user/images/image1" or "/user/images/image2"; nullptr for any other number.
const char* slot_image_path(int slot);
// 2 for slot 1, 1 for slot 2, 0 for anything else (the USB stick has no other slot).
int other_slot(int slot);
