// Files of the switch's own file systems: existence tests and the two application image slots.
#include "common/files.h"

#include <sys/stat.h>

bool path_exists(const char* path) {
    struct stat status;
    return stat(path, &status) == 0;
}

const char* slot_image_path(int slot) {
    if (slot == 1) return "/user/images/image1";
    if (slot == 2) return "/user/images/image2";
    return nullptr;
}

BootSource other_slot(int slot) {
    if (slot == 1) return BOOT_SLOT_2;
    if (slot == 2) return BOOT_SLOT_1;
    return NO_BOOT_SOURCE;
}
