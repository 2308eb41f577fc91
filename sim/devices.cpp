// The simulated board's devices, answered from files in a board directory (layout in board.h):
// the six MTD partitions and the two I2C buses, with a transaction log and faults on demand
// (formats in sim/README.md). Every libc entry point that can reach a device is interposed by
// name; whatever is not an emulated device goes on to the real function. The program's sleeps
// are logged and scaled by BMSIM_TIME_SCALE, so runs are fast and a test sees each pause in
// its place among the requests.
//
// Each entry point must keep its own ABI (pread takes off_t, pread64 off64_t, even on a 32-bit
// target), so the project-wide 64-bit file offsets must not rename them in this file.
#undef _FILE_OFFSET_BITS
#include "devices.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <math.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// The fortified open() entry points; glibc declares them only when fortifying.
extern "C" int __open_2(const char* path, int flags);
extern "C" int __open64_2(const char* path, int flags);

namespace {

// ---------------------------------------------------------------------------------------------
// The real functions, found once, on first use: an interposed call may come before any
// constructor has run.

template <typename Fn>
Fn next_symbol(Fn& slot, const char* name) {
    if (!slot) slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    return slot;
}

#define REAL(name) next_symbol(real_##name, #name)

decltype(&::open) real_open;
decltype(&::open64) real_open64;
decltype(&::openat) real_openat;
decltype(&::openat64) real_openat64;
decltype(&::__open_2) real___open_2;
decltype(&::__open64_2) real___open64_2;
decltype(&::close) real_close;
decltype(&::ioctl) real_ioctl;
decltype(&::pread) real_pread;
decltype(&::pread64) real_pread64;
decltype(&::pwrite) real_pwrite;
decltype(&::pwrite64) real_pwrite64;
decltype(&::read) real_read;
decltype(&::write) real_write;
decltype(&::lseek64) real_lseek64;
decltype(&::sleep) real_sleep;
decltype(&::usleep) real_usleep;
decltype(&::nanosleep) real_nanosleep;
decltype(&::clock_nanosleep) real_clock_nanosleep;
decltype(&::poll) real_poll;

// ---------------------------------------------------------------------------------------------
// The board's devices.

constexpr int PARTITION_COUNT = 6;
const char* const partition_names[PARTITION_COUNT] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
constexpr uint32_t DEFAULT_ERASE_SIZE = 65536;

enum MtdOp { MTD_OP_GETINFO, MTD_OP_ERASE, MTD_OP_READ, MTD_OP_WRITE, MTD_OP_COUNT };
const char* const mtd_op_names[MTD_OP_COUNT] = {"getinfo", "erase", "read", "write"};

constexpr int BUS_COUNT = 2;
enum I2cOp { I2C_OP_SLAVE, I2C_OP_READ, I2C_OP_WRITE, I2C_OP_SMBUS, I2C_OP_COUNT };

struct I2cDevice {
    int bus;
    unsigned address;  // 7-bit
    const char* file;  // in the board directory
    uint32_t size;
    int address_len;  // bytes of the address pointer that a plain write sends first
};
constexpr int I2C_DEVICE_COUNT = 2;
const I2cDevice i2c_devices[I2C_DEVICE_COUNT] = {
    {0, 0x54, "eeprom.bin", 65536, 2},
    {1, 0x20, "i2c1-0x20.bin", 256, 1},
};

enum DeviceKind { KIND_MTD, KIND_I2C };

// A descriptor that the program holds on an emulated device: a real descriptor (the backing
// file of a partition, /dev/null for a bus) that only this table gives its meaning.
struct Tracked {
    bool used;
    int fd;
    DeviceKind kind;
    int index;       // partition index or bus number
    int access;      // O_RDONLY, O_WRONLY or O_RDWR as the program asked
    unsigned slave;  // I2C: the address of the last I2C_SLAVE request
};
constexpr int MAX_TRACKED = 64;

// Plain data only, zero before any code runs.
struct Emulator {
    bool attached;
    char board[PATH_MAX];
    double time_scale;
    unsigned mtd_requests[PARTITION_COUNT][MTD_OP_COUNT];
    unsigned i2c_requests[BUS_COUNT][I2C_OP_COUNT];
    unsigned device_requests;                   // every logged device request, for "power-cut request K"
    unsigned slot_file_writes;                  // writes to files in /user/images, for "power-cut slot-write K"
    uint32_t device_pointer[I2C_DEVICE_COUNT];  // each I2C device's internal address counter
    Tracked tracked[MAX_TRACKED];
};
Emulator emulator;

// ---------------------------------------------------------------------------------------------
// Helpers: board paths, errno names, the transaction log, the faults file.

void board_path(char* out, size_t size, const char* relative) {
    snprintf(out, size, "%s/%s", emulator.board, relative);
}

const char* errno_name(int error) {
    switch (error) {
        case EPERM: return "EPERM";
        case ENOENT: return "ENOENT";
        case EINTR: return "EINTR";
        case EIO: return "EIO";
        case ENXIO: return "ENXIO";
        case EBADF: return "EBADF";
        case EFAULT: return "EFAULT";
        case EBUSY: return "EBUSY";
        case EINVAL: return "EINVAL";
        case EMFILE: return "EMFILE";
        case ENOTTY: return "ENOTTY";
        case ENOSPC: return "ENOSPC";
        case EOPNOTSUPP: return "EOPNOTSUPP";
        case EREMOTEIO: return "EREMOTEIO";
        default: return "errno";
    }
}

void append_log_line(const char* line, size_t length) {
    char path[PATH_MAX + 32];
    board_path(path, sizeof path, "devices.log");
    int fd = REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t ignored = REAL(write)(fd, line, length);
    (void)ignored;
    REAL(close)(fd);
}

void append_formatted(const char* format, va_list args) {
    char line[1024];
    int length = vsnprintf(line, sizeof line - 1, format, args);
    if (length < 0) length = 0;
    if (length > static_cast<int>(sizeof line) - 2) length = sizeof line - 2;
    line[length++] = '\n';
    append_log_line(line, length);
}

void cut_power_if_listed(const char* fault, unsigned count);

// One line of the transaction log for a device request, done or failed; the power may then be
// cut. Keeps errno: the program reads it after a failed request.
__attribute__((format(printf, 1, 2))) void log_line(const char* format, ...) {
    int saved_errno = errno;
    va_list args;
    va_start(args, format);
    append_formatted(format, args);
    va_end(args);
    cut_power_if_listed("request", ++emulator.device_requests);
    errno = saved_errno;
}

// One line of the transaction log for a pause of the program: not a device request.
__attribute__((format(printf, 1, 2))) void log_pause(const char* format, ...) {
    int saved_errno = errno;
    va_list args;
    va_start(args, format);
    append_formatted(format, args);
    va_end(args);
    errno = saved_errno;
}

// Fails the request being logged: the log line ends with the error, then errno is set.
int fail_request(int error, bool injected, const char* request) {
    log_line("%s failed %s%s", request, errno_name(error), injected ? " (injected)" : "");
    errno = error;
    return -1;
}

size_t read_whole_file(const char* path, char* buffer, size_t size) {
    int fd = REAL(open)(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t total = 0;
    while (total < size) {
        ssize_t got = REAL(read)(fd, buffer + total, size - total);
        if (got <= 0) break;
        total += got;
    }
    REAL(close)(fd);
    return total;
}

// Whether the faults file has the line "<w0> <w1> <w2> [K]" (w2 may be absent): without K it
// hits every such request, with K only the request whose count since attach is K.
bool fault_listed(const char* w0, const char* w1, const char* w2, unsigned count) {
    int saved_errno = errno;
    char path[PATH_MAX + 32];
    board_path(path, sizeof path, "faults");
    static char text[16384];
    size_t length = read_whole_file(path, text, sizeof text - 1);
    text[length] = '\0';
    errno = saved_errno;

    const char* wanted[3] = {w0, w1, w2};
    int wanted_count = w2 ? 3 : 2;
    char* save_line = nullptr;
    for (char* line = strtok_r(text, "\n", &save_line); line; line = strtok_r(nullptr, "\n", &save_line)) {
        char* words[5] = {};
        int word_count = 0;
        char* save_word = nullptr;
        for (char* word = strtok_r(line, " \t\r", &save_word); word && word_count < 5;
             word = strtok_r(nullptr, " \t\r", &save_word))
            words[word_count++] = word;
        if (word_count < wanted_count || word_count > wanted_count + 1 || words[0][0] == '#') continue;
        bool same = true;
        for (int i = 0; i < wanted_count; ++i) same = same && strcmp(words[i], wanted[i]) == 0;
        if (!same) continue;
        if (word_count == wanted_count || strtoul(words[wanted_count], nullptr, 10) == count) return true;
    }
    return false;
}

// A power cut ("power-cut request K", "power-cut slot-write K"): what the board has stored so far
// stays, and every process of the program's group ends at once, as on a real cut. The faults
// file is set aside as faults.cut, so that the next power-on runs without it. Only the
// preloaded emulator cuts: in the unit tests the process group is the test runner's.
bool power_cut_listed(const char* fault, unsigned count) {
#if BMSIM_PRELOADED
    return fault_listed("power-cut", fault, nullptr, count);
#else
    (void)fault;
    (void)count;
    return false;
#endif
}

[[noreturn]] void cut_power(const char* fault, unsigned count) {
    char line[96];
    int length = snprintf(line, sizeof line, "power cut after %s %u\n", fault, count);
    append_log_line(line, static_cast<size_t>(length));
    char path[PATH_MAX + 32], kept[PATH_MAX + 32];
    board_path(path, sizeof path, "log");
    int fd = REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = REAL(write)(fd, line, static_cast<size_t>(length));
        (void)ignored;
        REAL(close)(fd);
    }
    board_path(path, sizeof path, "faults");
    board_path(kept, sizeof kept, "faults.cut");
    rename(path, kept);
    kill(0, SIGKILL);
    _exit(128 + SIGKILL);
}

void cut_power_if_listed(const char* fault, unsigned count) {
    if (power_cut_listed(fault, count)) cut_power(fault, count);
}

// ---------------------------------------------------------------------------------------------
// Descriptor table.

Tracked* find_tracked(int fd) {
    if (!emulator.attached || fd < 0) return nullptr;
    for (Tracked& entry : emulator.tracked)
        if (entry.used && entry.fd == fd) return &entry;
    return nullptr;
}

// A descriptor that the kernel hands out again no longer means the device it once was.
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

// Which emulated device a path names; false for every other path.
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

// openat() emulates absolute paths only; a relative one names a file, never a device here.
bool is_absolute(const char* path) { return path && path[0] == '/'; }

mode_t mode_argument(int flags, va_list args) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return static_cast<mode_t>(va_arg(args, int));
    return 0;
}

// ---------------------------------------------------------------------------------------------
// MTD partitions.

struct PartitionInfo {
    uint64_t size;
    uint32_t erase_size;
};

PartitionInfo partition_info(const Tracked& t) {
    PartitionInfo info{0, DEFAULT_ERASE_SIZE};
    struct stat64 st;
    if (fstat64(t.fd, &st) == 0) info.size = static_cast<uint64_t>(st.st_size);
    char relative[64];
    char path[PATH_MAX + 64];
    snprintf(relative, sizeof relative, "mtd/%s.erasesize", partition_names[t.index]);
    board_path(path, sizeof path, relative);
    char text[32];
    size_t length = read_whole_file(path, text, sizeof text - 1);
    if (length > 0) {
        text[length] = '\0';
        info.erase_size = static_cast<uint32_t>(strtoul(text, nullptr, 0));
    }
    return info;
}

// Counts the request and tells whether the faults file fails it.
bool mtd_fault(const Tracked& t, MtdOp op) {
    unsigned count = ++emulator.mtd_requests[t.index][op];
    return fault_listed("fail", partition_names[t.index], mtd_op_names[op], count);
}

// Whether the faults file cuts the read just counted short ("short PART read [K]"); it counts
// the same reads as "fail PART read".
bool mtd_short_read(const Tracked& t) {
    return fault_listed("short", partition_names[t.index], "read", emulator.mtd_requests[t.index][MTD_OP_READ]);
}

int mtd_getinfo(const Tracked& t, void* arg) {
    char request[96];
    char name[32];
    device_name(t, name, sizeof name);
    snprintf(request, sizeof request, "%s getinfo", name);
    if (mtd_fault(t, MTD_OP_GETINFO)) return fail_request(EIO, true, request);
    if (!arg) return fail_request(EFAULT, false, request);
    PartitionInfo info = partition_info(t);
    mtd_info_user user{};
    user.type = MTD_NORFLASH;
    user.flags = MTD_CAP_NORFLASH;
    user.size = info.size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(info.size);
    user.erasesize = info.erase_size;
    user.writesize = 1;
    user.oobsize = 0;
    memcpy(arg, &user, sizeof user);
    log_line("%s size %u erasesize %u", request, user.size, user.erasesize);
    return 0;
}

bool fill_bytes(int fd, uint64_t offset, uint64_t length, uint8_t value) {
    uint8_t chunk[4096];
    memset(chunk, value, sizeof chunk);
    while (length > 0) {
        size_t n = length < sizeof chunk ? length : sizeof chunk;
        if (REAL(pwrite64)(fd, chunk, n, offset) != static_cast<ssize_t>(n)) return false;
        offset += n;
        length -= n;
    }
    return true;
}

// MEMERASE with the kernel's checks: the range must lie inside the partition and, unless
// empty, start and end on erase-block boundaries.
int mtd_erase_request(const Tracked& t, const void* arg) {
    char name[32];
    device_name(t, name, sizeof name);
    if (!arg) {
        char request[64];
        snprintf(request, sizeof request, "%s erase", name);
        return fail_request(EFAULT, false, request);
    }
    erase_info_user erase;
    memcpy(&erase, arg, sizeof erase);
    char request[96];
    snprintf(request, sizeof request, "%s erase %u %u", name, erase.start, erase.length);
    bool injected = mtd_fault(t, MTD_OP_ERASE);
    if (t.access == O_RDONLY) return fail_request(EPERM, false, request);
    if (injected) return fail_request(EIO, true, request);
    PartitionInfo info = partition_info(t);
    if (info.erase_size == 0) return fail_request(EOPNOTSUPP, false, request);
    if (erase.start >= info.size || erase.length > info.size - erase.start) return fail_request(EINVAL, false, request);
    if (erase.length == 0) {
        log_line("%s", request);
        return 0;
    }
    if (erase.start % info.erase_size != 0 || erase.length % info.erase_size != 0)
        return fail_request(EINVAL, false, request);
    if (!fill_bytes(t.fd, erase.start, erase.length, 0xFF)) return fail_request(EIO, false, request);
    log_line("%s", request);
    return 0;
}

void log_transfer(const char* request, size_t asked, ssize_t done, bool injected = false) {
    if (injected)
        log_line("%s -> %zd (injected short read)", request, done);
    else if (done == static_cast<ssize_t>(asked))
        log_line("%s", request);
    else
        log_line("%s -> %zd", request, done);
}

// A read as the MTD character device answers it: past the end there is nothing (0 bytes), a
// read that runs over the end is cut short. An injected short read gives at most half of the
// count; the rest of the buffer is left as it was.
ssize_t mtd_read_at(const Tracked& t, void* buffer, size_t count, int64_t offset, const char* verb) {
    char name[32];
    device_name(t, name, sizeof name);
    char request[128];
    snprintf(request, sizeof request, "%s %s %lld %zu", name, verb, static_cast<long long>(offset), count);
    bool injected = mtd_fault(t, MTD_OP_READ);
    if (t.access == O_WRONLY) return fail_request(EBADF, false, request);
    if (offset < 0) return fail_request(EINVAL, false, request);
    if (injected) return fail_request(EIO, true, request);
    uint64_t size = partition_info(t).size;
    uint64_t start = static_cast<uint64_t>(offset);
    size_t n = start >= size ? 0 : (count < size - start ? count : static_cast<size_t>(size - start));
    bool short_read = count > 0 && mtd_short_read(t);
    if (short_read && n > count / 2) n = count / 2;
    ssize_t got = n == 0 ? 0 : REAL(pread64)(t.fd, buffer, n, offset);
    if (got < 0) return fail_request(errno, false, request);
    log_transfer(request, count, got, short_read);
    return got;
}

// Programs NOR flash: a write can only clear bits, so each stored byte becomes old AND new.
bool program_nor(int fd, const uint8_t* data, size_t count, int64_t offset) {
    uint8_t chunk[4096];
    while (count > 0) {
        size_t n = count < sizeof chunk ? count : sizeof chunk;
        if (REAL(pread64)(fd, chunk, n, offset) != static_cast<ssize_t>(n)) return false;
        for (size_t i = 0; i < n; ++i) chunk[i] &= data[i];
        if (REAL(pwrite64)(fd, chunk, n, offset) != static_cast<ssize_t>(n)) return false;
        data += n;
        offset += n;
        count -= n;
    }
    return true;
}

// A write as the MTD character device answers it: from the end on, ENOSPC; a write that runs
// over the end is cut short.
ssize_t mtd_write_at(const Tracked& t, const void* buffer, size_t count, int64_t offset, const char* verb) {
    char name[32];
    device_name(t, name, sizeof name);
    char request[128];
    snprintf(request, sizeof request, "%s %s %lld %zu", name, verb, static_cast<long long>(offset), count);
    bool injected = mtd_fault(t, MTD_OP_WRITE);
    if (t.access == O_RDONLY) return fail_request(EBADF, false, request);
    if (offset < 0) return fail_request(EINVAL, false, request);
    if (injected) return fail_request(EIO, true, request);
    uint64_t size = partition_info(t).size;
    uint64_t start = static_cast<uint64_t>(offset);
    if (start >= size) return fail_request(ENOSPC, false, request);
    size_t n = count < size - start ? count : static_cast<size_t>(size - start);
    if (!program_nor(t.fd, static_cast<const uint8_t*>(buffer), n, offset)) return fail_request(EIO, false, request);
    log_transfer(request, count, static_cast<ssize_t>(n));
    return static_cast<ssize_t>(n);
}

// read() and write() on a partition work at the descriptor's file position.
ssize_t mtd_read_here(const Tracked& t, void* buffer, size_t count) {
    int64_t position = REAL(lseek64)(t.fd, 0, SEEK_CUR);
    ssize_t got = mtd_read_at(t, buffer, count, position, "read");
    if (got > 0) REAL(lseek64)(t.fd, position + got, SEEK_SET);
    return got;
}

ssize_t mtd_write_here(const Tracked& t, const void* buffer, size_t count) {
    int64_t position = REAL(lseek64)(t.fd, 0, SEEK_CUR);
    ssize_t done = mtd_write_at(t, buffer, count, position, "write");
    if (done > 0) REAL(lseek64)(t.fd, position + done, SEEK_SET);
    return done;
}

// pread() and pwrite() on an I2C bus are refused as the kernel refuses them on a character device
// that cannot seek.
ssize_t positioned_read(const Tracked& t, void* buffer, size_t count, int64_t offset) {
    if (t.kind == KIND_I2C) {
        errno = ESPIPE;
        return -1;
    }
    return mtd_read_at(t, buffer, count, offset, "pread");
}

ssize_t positioned_write(const Tracked& t, const void* buffer, size_t count, int64_t offset) {
    if (t.kind == KIND_I2C) {
        errno = ESPIPE;
        return -1;
    }
    return mtd_write_at(t, buffer, count, offset, "pwrite");
}

int mtd_ioctl(const Tracked& t, unsigned request, void* arg) {
    if (request == static_cast<unsigned>(MEMGETINFO)) return mtd_getinfo(t, arg);
    if (request == static_cast<unsigned>(MEMERASE)) return mtd_erase_request(t, arg);
    char name[32];
    device_name(t, name, sizeof name);
    char text[96];
    snprintf(text, sizeof text, "%s ioctl 0x%x", name, request);
    return fail_request(ENOTTY, false, text);
}

// ---------------------------------------------------------------------------------------------
// I2C buses.

int find_i2c_device(int bus, unsigned address) {
    for (int i = 0; i < I2C_DEVICE_COUNT; ++i)
        if (i2c_devices[i].bus == bus && i2c_devices[i].address == address) return i;
    return -1;
}

bool i2c_fault(const Tracked& t, I2cOp op, const char* fault) {
    unsigned count = emulator.i2c_requests[t.index][op];
    char bus[16];
    snprintf(bus, sizeof bus, "%d", t.index);
    return fault_listed("i2c", fault, bus, count);
}

unsigned count_i2c_request(const Tracked& t, I2cOp op) { return ++emulator.i2c_requests[t.index][op]; }

// The device's memory, with its address counter wrapping at the end as the chip's does.
bool device_transfer(const I2cDevice& device, uint32_t offset, uint8_t* bytes, size_t count, bool store) {
    char path[PATH_MAX + 64];
    board_path(path, sizeof path, device.file);
    int fd = REAL(open)(path, (store ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
        int64_t at = (offset + i) % device.size;
        ssize_t n = store ? REAL(pwrite64)(fd, bytes + i, 1, at) : REAL(pread64)(fd, bytes + i, 1, at);
        if (n != 1) {
            if (store || n < 0)
                ok = false;
            else
                bytes[i] = 0xFF;  // beyond a short backing file: unprogrammed cells
        }
    }
    REAL(close)(fd);
    return ok;
}

int i2c_set_slave(Tracked& t, unsigned long address) {
    char request[64];
    snprintf(request, sizeof request, "i2c-%d slave 0x%02lx", t.index, address);
    count_i2c_request(t, I2C_OP_SLAVE);
    if (i2c_fault(t, I2C_OP_SLAVE, "slave-fail")) return fail_request(EBUSY, true, request);
    if (address > 0x7F) return fail_request(EINVAL, false, request);
    t.slave = static_cast<unsigned>(address);
    log_line("%s", request);
    return 0;
}

void hex_bytes(const uint8_t* bytes, size_t count, char* out, size_t size) {
    out[0] = '\0';
    constexpr size_t SHOWN = 64;
    for (size_t i = 0; i < count && i < SHOWN; ++i) {
        size_t used = strlen(out);
        snprintf(out + used, size - used, " %02x", bytes[i]);
    }
    if (count > SHOWN) {
        size_t used = strlen(out);
        snprintf(out + used, size - used, " ...");
    }
}

// i2c-dev cuts a plain read or write to this many bytes.
constexpr size_t I2C_DEV_MAX_TRANSFER = 8192;

// A plain write transfer: the first bytes set the device's address pointer, the rest are stored.
ssize_t i2c_write(const Tracked& t, const void* buffer, size_t count) {
    if (count > I2C_DEV_MAX_TRANSFER) count = I2C_DEV_MAX_TRANSFER;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    char hex[256];
    hex_bytes(bytes, count, hex, sizeof hex);
    char request[384];
    snprintf(request, sizeof request, "i2c-%d write 0x%02x%s", t.index, t.slave, hex);
    count_i2c_request(t, I2C_OP_WRITE);
    int index = find_i2c_device(t.index, t.slave);
    if (index < 0) return fail_request(ENXIO, false, request);
    if (i2c_fault(t, I2C_OP_WRITE, "write-fail")) return fail_request(EREMOTEIO, true, request);
    const I2cDevice& device = i2c_devices[index];
    size_t address_len = static_cast<size_t>(device.address_len);
    if (count >= address_len) {
        uint32_t pointer = 0;
        for (size_t i = 0; i < address_len; ++i) pointer = (pointer << 8) | bytes[i];
        pointer %= device.size;
        size_t data_len = count - address_len;
        if (data_len > 0 &&
            !device_transfer(device, pointer, const_cast<uint8_t*>(bytes + address_len), data_len, true))
            return fail_request(EIO, false, request);
        emulator.device_pointer[index] = static_cast<uint32_t>((pointer + data_len) % device.size);
#if BMSIM_PRELOADED
        if (index == 0 && data_len > 0) sim_note_eeprom_write(pointer, bytes + address_len, data_len);
#endif
    }
    log_line("%s", request);
    return static_cast<ssize_t>(count);
}

// A plain read transfer: bytes from the device's address pointer on, advancing it.
ssize_t i2c_read(const Tracked& t, void* buffer, size_t count) {
    if (count > I2C_DEV_MAX_TRANSFER) count = I2C_DEV_MAX_TRANSFER;
    int index = find_i2c_device(t.index, t.slave);
    uint32_t pointer = index < 0 ? 0 : emulator.device_pointer[index];
    char request[128];
    snprintf(request, sizeof request, "i2c-%d read 0x%02x offset %u count %zu", t.index, t.slave, pointer, count);
    count_i2c_request(t, I2C_OP_READ);
    if (index < 0) return fail_request(ENXIO, false, request);
    if (i2c_fault(t, I2C_OP_READ, "read-fail")) return fail_request(EREMOTEIO, true, request);
    size_t n = count;
    bool short_read = count > 0 && i2c_fault(t, I2C_OP_READ, "short-read");
    if (short_read) --n;
    const I2cDevice& device = i2c_devices[index];
    if (!device_transfer(device, pointer, static_cast<uint8_t*>(buffer), n, false))
        return fail_request(EIO, false, request);
    emulator.device_pointer[index] = static_cast<uint32_t>((pointer + n) % device.size);
    if (short_read)
        log_line("%s -> %zu (injected short read)", request, n);
    else
        log_line("%s", request);
    return static_cast<ssize_t>(n);
}

// I2C_SMBUS as i2c-dev answers it; the devices here know the byte-data transfers only.
int i2c_smbus(const Tracked& t, i2c_smbus_ioctl_data* transfer) {
    char request[128];
    if (!transfer) {
        snprintf(request, sizeof request, "i2c-%d smbus", t.index);
        return fail_request(EFAULT, false, request);
    }
    bool reading = transfer->read_write == I2C_SMBUS_READ;
    snprintf(request, sizeof request, "i2c-%d smbus-%s 0x%02x reg %u", t.index, reading ? "read" : "write", t.slave,
             transfer->command);
    count_i2c_request(t, I2C_OP_SMBUS);
    // i2c-dev's own checks come first: a size it does not know, a direction other than read or
    // write, a missing data block are invalid whatever the device.
    if (transfer->size > I2C_SMBUS_I2C_BLOCK_DATA ||
        (transfer->read_write != I2C_SMBUS_READ && transfer->read_write != I2C_SMBUS_WRITE))
        return fail_request(EINVAL, false, request);
    if (transfer->size != I2C_SMBUS_BYTE_DATA) {
        size_t used = strlen(request);
        snprintf(request + used, sizeof request - used, " size %u", transfer->size);
        return fail_request(EOPNOTSUPP, false, request);
    }
    if (!transfer->data) return fail_request(EINVAL, false, request);
    int index = find_i2c_device(t.index, t.slave);
    if (index < 0) return fail_request(ENXIO, false, request);
    if (i2c_fault(t, I2C_OP_SMBUS, "smbus-fail")) return fail_request(EREMOTEIO, true, request);
    uint8_t value = transfer->data->byte;
    if (!device_transfer(i2c_devices[index], transfer->command, &value, 1, !reading))
        return fail_request(EIO, false, request);
    transfer->data->byte = value;
    log_line("%s %s 0x%02x", request, reading ? "->" : "=", value);
    return 0;
}

int i2c_ioctl(Tracked& t, unsigned request, void* arg) {
    if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE)
        return i2c_set_slave(t, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(arg)));
    if (request == I2C_SMBUS) return i2c_smbus(t, static_cast<i2c_smbus_ioctl_data*>(arg));
    if (request == I2C_FUNCS && arg) {
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_BYTE_DATA;
        return 0;
    }
    char text[64];
    snprintf(text, sizeof text, "i2c-%d ioctl 0x%x", t.index, request);
    return fail_request(ENOTTY, false, text);
}

// ---------------------------------------------------------------------------------------------
// Time: the program's sleeps, scaled and logged.

double read_time_scale() {
    const char* text = getenv("BMSIM_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    double scale = strtod(text, &end);
    if (end == text || !(scale >= 0) || scale > 1e6) return 1.0;
    return scale;
}

long double seconds_of(const timespec& t) { return t.tv_sec + t.tv_nsec / 1e9L; }

timespec timespec_of(long double seconds) {
    if (seconds <= 0) return timespec{0, 0};
    timespec t;
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - t.tv_sec) * 1e9L);
    if (t.tv_nsec > 999999999) t.tv_nsec = 999999999;
    return t;
}

timespec scaled(const timespec& t) { return timespec_of(seconds_of(t) * emulator.time_scale); }

// What is left of a scaled sleep, in the program's own time.
timespec unscaled(const timespec& t) {
    if (emulator.time_scale <= 0) return timespec{0, 0};
    return timespec_of(seconds_of(t) / emulator.time_scale);
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

bool valid_timespec(const timespec* t) { return t && t->tv_sec >= 0 && t->tv_nsec >= 0 && t->tv_nsec <= 999999999; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Attaching to a board.

void sim_devices_attach(const char* board_dir) {
    // Descriptors opened on another board no longer mean anything.
    if (!emulator.attached || strcmp(emulator.board, board_dir) != 0) forget_all_descriptors();
    snprintf(emulator.board, sizeof emulator.board, "%s", board_dir);
    memset(emulator.mtd_requests, 0, sizeof emulator.mtd_requests);
    memset(emulator.i2c_requests, 0, sizeof emulator.i2c_requests);
    memset(emulator.device_pointer, 0, sizeof emulator.device_pointer);
    emulator.device_requests = 0;
    emulator.slot_file_writes = 0;
    emulator.time_scale = read_time_scale();
    emulator.attached = true;
}

void sim_devices_detach() {
    emulator.attached = false;
    forget_all_descriptors();
}

#if BMSIM_PRELOADED
// Programs that the emulated one starts through the shell must see the host's plain libc.
__attribute__((constructor)) static void attach_at_load() {
    const char* board = getenv("BMSIM_BOARD");
    unsetenv("LD_PRELOAD");
    sim_devices_attach(board && *board ? board : "/sim");
}
#endif

// ---------------------------------------------------------------------------------------------
// The interposed entry points.

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    DeviceKind kind;
    int index;
    if (find_device(path, &kind, &index)) return open_device(kind, index, path, flags);
    return forget_reused(REAL(open)(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    DeviceKind kind;
    int index;
    if (find_device(path, &kind, &index)) return open_device(kind, index, path, flags);
    return forget_reused(REAL(open64)(path, flags, mode));
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    DeviceKind kind;
    int index;
    if (is_absolute(path) && find_device(path, &kind, &index)) return open_device(kind, index, path, flags);
    return forget_reused(REAL(openat)(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    DeviceKind kind;
    int index;
    if (is_absolute(path) && find_device(path, &kind, &index)) return open_device(kind, index, path, flags);
    return forget_reused(REAL(openat64)(dirfd, path, flags, mode));
}

int __open_2(const char* path, int flags) {
    DeviceKind kind;
    int index;
    if (find_device(path, &kind, &index)) return open_device(kind, index, path, flags);
    return forget_reused(REAL(__open_2)(path, flags));
}

int __open64_2(const char* path, int flags) {
    DeviceKind kind;
    int index;
    if (find_device(path, &kind, &index)) return open_device(kind, index, path, flags);
    return forget_reused(REAL(__open64_2)(path, flags));
}

int close(int fd) {
    if (Tracked* t = find_tracked(fd)) {
        char name[32];
        device_name(*t, name, sizeof name);
        log_line("close /dev/%s", name);
        t->used = false;
    }
    return REAL(close)(fd);
}

int ioctl(int fd, unsigned long request, ...) {
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
    Tracked* t = find_tracked(fd);
    return t ? positioned_read(*t, buffer, count, offset) : REAL(pread)(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
    Tracked* t = find_tracked(fd);
    return t ? positioned_read(*t, buffer, count, offset) : REAL(pread64)(fd, buffer, count, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    Tracked* t = find_tracked(fd);
    return t ? positioned_write(*t, buffer, count, offset) : REAL(pwrite)(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
    Tracked* t = find_tracked(fd);
    return t ? positioned_write(*t, buffer, count, offset) : REAL(pwrite64)(fd, buffer, count, offset);
}

ssize_t read(int fd, void* buffer, size_t count) {
    Tracked* t = find_tracked(fd);
    if (!t) return REAL(read)(fd, buffer, count);
    return t->kind == KIND_MTD ? mtd_read_here(*t, buffer, count) : i2c_read(*t, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    Tracked* t = find_tracked(fd);
    if (!t) return REAL(write)(fd, buffer, count);
    return t->kind == KIND_MTD ? mtd_write_here(*t, buffer, count) : i2c_write(*t, buffer, count);
}

#if BMSIM_PRELOADED
// The slot files are written through stdio; a cut in the middle of one leaves the first half of
// that write in the file, and what stdio still held is lost.
size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    static decltype(&::fwrite) real_fwrite;
    if (emulator.attached && size > 0 && count > 0 && writes_slot_file(stream)) {
        unsigned writes = ++emulator.slot_file_writes;
        if (power_cut_listed("slot-write", writes)) {
            REAL(fwrite)(data, 1, size * count / 2, stream);
            fflush(stream);
            cut_power("slot-write", writes);
        }
    }
    return REAL(fwrite)(data, size, count, stream);
}
#endif

unsigned int sleep(unsigned int seconds) {
    if (!emulator.attached) return REAL(sleep)(seconds);
    log_pause("sleep %u", seconds);
    timespec request = scaled(timespec{static_cast<time_t>(seconds), 0});
    timespec left{0, 0};
    if (REAL(nanosleep)(&request, &left) == 0) return 0;
    long double rest = seconds_of(unscaled(left));
    return static_cast<unsigned>(ceill(rest));
}

int usleep(useconds_t microseconds) {
    if (!emulator.attached) return REAL(usleep)(microseconds);
    log_pause("usleep %lu", static_cast<unsigned long>(microseconds));
    timespec request =
        timespec{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    request = scaled(request);
    return REAL(nanosleep)(&request, nullptr);
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (!emulator.attached || !valid_timespec(request)) return REAL(nanosleep)(request, remaining);
    log_pause("nanosleep %lld.%09ld", static_cast<long long>(request->tv_sec), request->tv_nsec);
    timespec shorter = scaled(*request);
    timespec left{0, 0};
    int result = REAL(nanosleep)(&shorter, &left);
    if (result < 0 && errno == EINTR && remaining) *remaining = unscaled(left);
    return result;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request, struct timespec* remaining) {
    if (!emulator.attached || !valid_timespec(request)) return REAL(clock_nanosleep)(clock, flags, request, remaining);
    timespec relative = *request;
    if (flags & TIMER_ABSTIME) {
        timespec now;
        if (clock_gettime(clock, &now) != 0) return REAL(clock_nanosleep)(clock, flags, request, remaining);
        relative = timespec_of(seconds_of(*request) - seconds_of(now));
    }
    log_pause("clock_nanosleep %lld.%09ld", static_cast<long long>(relative.tv_sec), relative.tv_nsec);
    timespec shorter = scaled(relative);
    timespec left{0, 0};
    int result = REAL(clock_nanosleep)(clock, 0, &shorter, &left);
    if (result == EINTR && remaining && !(flags & TIMER_ABSTIME)) *remaining = unscaled(left);
    return result;
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    if (!emulator.attached || timeout <= 0) return REAL(poll)(fds, count, timeout);
    log_pause("poll %d", timeout);
    double shorter = nearbyint(timeout * emulator.time_scale);
    return REAL(poll)(fds, count, shorter > INT_MAX ? INT_MAX : static_cast<int>(shorter));
}

}  // extern "C"
