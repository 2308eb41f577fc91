// The interposed libc entry points that can reach a device: each one asks the descriptor table
// whether its path or descriptor is an emulated device, and goes on to the real function when
// not. The sleeps are the clock's (clock.cpp).
#include "emulator.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>

namespace sim_devices {

RealCalls real_calls;

namespace {

// openat() emulates absolute paths only; a relative one names a file, never a device here.
bool is_absolute(const char* path) { return path && path[0] == '/'; }

mode_t mode_argument(int flags, va_list args) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return static_cast<mode_t>(va_arg(args, int));
    return 0;
}

#if BMSIM_PRELOADED
// Whether a stream writes a slot file: a file in /user/images.
bool writes_slot_file(FILE* stream) {
    int saved_errno = errno;
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
    ssize_t length = readlink(link, target, sizeof target - 1);
    errno = saved_errno;
    if (length <= 0) return false;
    target[length] = '\0';
    return strncmp(target, "/user/images/", 13) == 0;
}
#endif

}  // namespace

// An open() of a device path goes to the descriptor table, which gives the result.
bool opens_device(const char* path, int flags, int* result) {
    DeviceKind kind;
    int index;
    if (!find_device(path, &kind, &index)) return false;
    *result = open_device(kind, index, path, flags);
    return true;
}

}  // namespace sim_devices

extern "C" {

int open(const char* path, int flags, ...) {
    using namespace sim_devices;
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int fd;
    if (opens_device(path, flags, &fd)) return fd;
    return forget_reused(REAL(open)(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    using namespace sim_devices;
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int fd;
    if (opens_device(path, flags, &fd)) return fd;
    return forget_reused(REAL(open64)(path, flags, mode));
}

int openat(int dirfd, const char* path, int flags, ...) {
    using namespace sim_devices;
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int fd;
    if (is_absolute(path) && opens_device(path, flags, &fd)) return fd;
    return forget_reused(REAL(openat)(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char* path, int flags, ...) {
    using namespace sim_devices;
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    int fd;
    if (is_absolute(path) && opens_device(path, flags, &fd)) return fd;
    return forget_reused(REAL(openat64)(dirfd, path, flags, mode));
}

int __open_2(const char* path, int flags) {
    using namespace sim_devices;
    int fd;
    if (opens_device(path, flags, &fd)) return fd;
    return forget_reused(REAL(__open_2)(path, flags));
}

int __open64_2(const char* path, int flags) {
    using namespace sim_devices;
    int fd;
    if (opens_device(path, flags, &fd)) return fd;
    return forget_reused(REAL(__open64_2)(path, flags));
}

int close(int fd) {
    using namespace sim_devices;
    if (Tracked* t = find_tracked(fd)) close_device(*t);
    // The program closing a number it was never given, one of the emulator's own: the emulator
    // lets it go first, so that the number does not go on meaning its file.
    close_if_request_log(fd);
    close_if_watch(fd);
    return REAL(close)(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    using namespace sim_devices;
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    Tracked* t = find_tracked(fd);
    if (!t) return REAL(ioctl)(fd, request, arg);
    // The kernel takes the request number as 32 bits.
    unsigned number = static_cast<unsigned>(request);
    return t->kind == KIND_MTD ? mtd_ioctl(*t, number, arg) : i2c_ioctl(*t, number, arg);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    using namespace sim_devices;
    Tracked* t = find_tracked(fd);
    return t ? positioned_read(*t, buffer, count, offset) : REAL(pread)(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
    using namespace sim_devices;
    Tracked* t = find_tracked(fd);
    return t ? positioned_read(*t, buffer, count, offset) : REAL(pread64)(fd, buffer, count, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    using namespace sim_devices;
    Tracked* t = find_tracked(fd);
    return t ? positioned_write(*t, buffer, count, offset) : REAL(pwrite)(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
    using namespace sim_devices;
    Tracked* t = find_tracked(fd);
    return t ? positioned_write(*t, buffer, count, offset) : REAL(pwrite64)(fd, buffer, count, offset);
}

ssize_t read(int fd, void* buffer, size_t count) {
    using namespace sim_devices;
    Tracked* t = find_tracked(fd);
    if (!t) return REAL(read)(fd, buffer, count);
    return t->kind == KIND_MTD ? mtd_read_here(*t, buffer, count) : i2c_read(*t, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    using namespace sim_devices;
    Tracked* t = find_tracked(fd);
    if (!t) return REAL(write)(fd, buffer, count);
    return t->kind == KIND_MTD ? mtd_write_here(*t, buffer, count) : i2c_write(*t, buffer, count);
}

#if BMSIM_PRELOADED
// The slot files are written through stdio; a cut in the middle of one leaves the first half of
// that write in the file, and what stdio still held is lost.
size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    using namespace sim_devices;
    if (emulator.attached && size > 0 && count > 0 && writes_slot_file(stream)) {
        unsigned writes = ++emulator.slot_file_writes;
        ++emulator.events;
        if (power_cut_listed("slot-write", writes)) {
            REAL(fwrite)(data, 1, size * count / 2, stream);
            fflush(stream);
            cut_power("slot-write", writes);
        }
    }
    return REAL(fwrite)(data, size, count, stream);
}
#endif

}  // extern "C"
