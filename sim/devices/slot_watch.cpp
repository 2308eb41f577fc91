// What the preloaded emulator watches in the switch's /user besides the devices: the room left
// there, which DIR/user-free can make small, and the slot file that a boot-slot write names,
// kept as it stood at that moment in DIR/boot-slot-image (empty when the slot file is absent),
// so that a test can tell whether the boot slot was set before its image was whole.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "devices.h"

#if BMSIM_PRELOADED
namespace {

constexpr uint32_t EEPROM_BOOT_SLOT_CELL = 0x100;

const char* board_dir() {
    const char* board = getenv("BMSIM_BOARD");
    return board && *board ? board : "/sim";
}

// The bytes DIR/user-free names, when it exists and the path lies in /user.
bool user_room(const char* path, unsigned long long* room) {
    if (path == nullptr || strncmp(path, "/user", 5) != 0 || (path[5] != '\0' && path[5] != '/')) return false;
    char file[PATH_MAX];
    snprintf(file, sizeof file, "%s/user-free", board_dir());
    FILE* stream = fopen(file, "re");
    if (stream == nullptr) return false;
    bool read = fscanf(stream, "%llu", room) == 1;
    fclose(stream);
    return read;
}

template <typename Stat>
int with_user_room(int result, const char* path, Stat* out) {
    unsigned long long room = 0;
    if (result == 0 && out->f_frsize > 0 && user_room(path, &room)) out->f_bavail = out->f_bfree = room / out->f_frsize;
    return result;
}

void copy_file(const char* from, const char* to) {
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in = open(from, O_RDONLY | O_CLOEXEC);
    char block[65536];
    for (ssize_t got; out >= 0 && in >= 0 && (got = read(in, block, sizeof block)) > 0;)
        if (write(out, block, size_t(got)) != got) break;
    if (out >= 0) close(out);
    if (in >= 0) close(in);
}

}  // namespace

void sim_note_eeprom_write(uint32_t pointer, const uint8_t* data, size_t count) {
    if (pointer > EEPROM_BOOT_SLOT_CELL || pointer + count <= EEPROM_BOOT_SLOT_CELL) return;
    uint8_t slot = data[EEPROM_BOOT_SLOT_CELL - pointer];
    if (slot != 1 && slot != 2) return;
    char from[32], to[PATH_MAX];
    snprintf(from, sizeof from, "/user/images/image%u", slot);
    snprintf(to, sizeof to, "%s/boot-slot-image", board_dir());
    copy_file(from, to);
}

extern "C" {

int statvfs(const char* path, struct statvfs* out) {
    static auto real = reinterpret_cast<int (*)(const char*, struct statvfs*)>(dlsym(RTLD_NEXT, "statvfs"));
    return with_user_room(real(path, out), path, out);
}

int statvfs64(const char* path, struct statvfs64* out) {
    static auto real = reinterpret_cast<int (*)(const char*, struct statvfs64*)>(dlsym(RTLD_NEXT, "statvfs64"));
    return with_user_room(real(path, out), path, out);
}

}  // extern "C"
#endif
