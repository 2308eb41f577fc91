// Files of the switch's own file systems: existence tests and the two application image slots.
#include "common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

const char* slot_copy_path(int slot) {
    if (slot == 1) return "/user/images/image1.new";
    if (slot == 2) return "/user/images/image2.new";
    return nullptr;
}

const char* slot_write_path(int slot, uint64_t size) {
    const char* copy = slot_copy_path(slot);
    remove(copy);  // left by a power cut: it is not the slot
    struct statvfs user;
    bool room = statvfs("/user/images", &user) != 0 || uint64_t(user.f_bavail) * user.f_frsize >= size;
    if (room || !path_exists(slot_image_path(slot))) return copy;
    printf("/user cannot hold a second copy of image%d: writing it in place.\n", slot);
    return slot_image_path(slot);
}

bool commit_slot_file(int slot, const char* written, uint64_t size) {
    if (strcmp(written, slot_image_path(slot)) == 0) return true;
    struct stat status;
    bool whole = stat(written, &status) == 0 && uint64_t(status.st_size) == size;
    if (whole && rename(written, slot_image_path(slot)) == 0) return true;
    remove(written);
    return false;
}

void sync_file(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}
