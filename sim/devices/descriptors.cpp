// The descriptor table: which of the program's descriptors are emulated devices, and the opening
// of a device path.
#include "emulator.h"

#include <errno.h>
#include <string.h>

namespace sim_devices {

const char* const partition_names[PARTITION_COUNT] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};

Tracked* find_tracked(int fd) {
    if (!emulator.attached || fd < 0) return nullptr;
    for (Tracked& entry : emulator.tracked)
        if (entry.used && entry.fd == fd) return &entry;
    return nullptr;
}

int forget_reused(int fd) {
    if (Tracked* stale = find_tracked(fd)) stale->used = false;
    return fd;
}

void forget_all_descriptors() {
    for (Tracked& entry : emulator.tracked) entry.used = false;
}

void device_name(const Tracked& t, char* out, size_t size) {
    if (t.kind == KIND_MTD)
        snprintf(out, size, "mtd-%s", partition_names[t.index]);
    else
        snprintf(out, size, "i2c-%d", t.index);
}

namespace {

// The open flags in words, for the log: "O_RDWR|O_SYNC".
void describe_flags(int flags, char* out, size_t size) {
    int access = flags & O_ACCMODE;
    snprintf(out, size, "%s", access == O_RDONLY ? "O_RDONLY" : access == O_WRONLY ? "O_WRONLY" : "O_RDWR");
    int rest = flags & ~O_ACCMODE;
    struct {
        int bits;
        const char* name;
    } const named[] = {
        {O_SYNC, "O_SYNC"},       {O_DSYNC, "O_DSYNC"},   {O_NONBLOCK, "O_NONBLOCK"},
        {O_CLOEXEC, "O_CLOEXEC"}, {O_NOCTTY, "O_NOCTTY"}, {O_CREAT, "O_CREAT"},
        {O_TRUNC, "O_TRUNC"},     {O_APPEND, "O_APPEND"}, {O_EXCL, "O_EXCL"},
    };
    for (const auto& flag : named) {
        if ((rest & flag.bits) == flag.bits) {
            size_t used = strlen(out);
            snprintf(out + used, size - used, "|%s", flag.name);
            rest &= ~flag.bits;
        }
    }
    if (rest) {
        size_t used = strlen(out);
        snprintf(out + used, size - used, "|0x%x", static_cast<unsigned>(rest));
    }
}

}  // namespace

bool find_device(const char* path, DeviceKind* kind, int* index) {
    if (!emulator.attached || !path) return false;
    if (strncmp(path, "/dev/mtd-", 9) == 0) {
        for (int i = 0; i < PARTITION_COUNT; ++i) {
            if (strcmp(path + 9, partition_names[i]) == 0) {
                *kind = KIND_MTD;
                *index = i;
                return true;
            }
        }
    }
    for (int bus = 0; bus < BUS_COUNT; ++bus) {
        char bus_path[32];
        snprintf(bus_path, sizeof bus_path, "/dev/i2c-%d", bus);
        if (strcmp(path, bus_path) == 0) {
            *kind = KIND_I2C;
            *index = bus;
            return true;
        }
    }
    return false;
}

int open_device(DeviceKind kind, int index, const char* path, int flags) {
    char request[PATH_MAX + 128];
    char flag_text[128];
    describe_flags(flags, flag_text, sizeof flag_text);
    snprintf(request, sizeof request, "open %s %s", path, flag_text);
    if (fault_listed("missing", path, nullptr, 0)) return fail_request(ENOENT, true, request);

    char backing[PATH_MAX + 64];
    if (kind == KIND_MTD) {
        char relative[64];
        snprintf(relative, sizeof relative, "mtd/%s.bin", partition_names[index]);
        board_path(backing, sizeof backing, relative);
    } else {
        snprintf(backing, sizeof backing, "/dev/null");
    }
    // Always read-write underneath: a NOR write reads the old bytes. The access that the
    // program asked for is enforced by the table.
    int fd = REAL(open)(backing, O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) return fail_request(errno, false, request);
    forget_reused(fd);
    for (Tracked& entry : emulator.tracked) {
        if (!entry.used) {
            entry = Tracked{true, fd, kind, index, flags & O_ACCMODE, 0};
            log_line("%s", request);
            return fd;
        }
    }
    REAL(close)(fd);
    return fail_request(EMFILE, false, request);
}

void close_device(Tracked& t) {
    char name[32];
    device_name(t, name, sizeof name);
    log_line("close /dev/%s", name);
    t.used = false;
}

}  // namespace sim_devices
