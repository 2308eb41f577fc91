// The device emulator's parts and what they share: the real libc functions underneath, the
// board's devices, the descriptors the program holds on them, the request log and the faults.
// Each entry point must keep its own ABI (pread takes off_t, pread64 off64_t, even on a 32-bit
// target), so the project-wide 64-bit file offsets must not rename them: every file of the
// emulator includes this header first.
#pragma once
#undef _FILE_OFFSET_BITS

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

// The fortified open() entry points; glibc declares them only when fortifying.
extern "C" int __open_2(const char* path, int flags);
extern "C" int __open64_2(const char* path, int flags);

// Everything but the entry points stays in this name space, so that no name of the emulator can
// take the place of one of the program's own in the preloaded library.
namespace sim_devices {

// ---- the real functions, found on first use: an interposed call may come before any
// constructor has run ----

struct RealCalls {
    decltype(&::open) open;
    decltype(&::open64) open64;
    decltype(&::openat) openat;
    decltype(&::openat64) openat64;
    decltype(&::__open_2) __open_2;
    decltype(&::__open64_2) __open64_2;
    decltype(&::close) close;
    decltype(&::ioctl) ioctl;
    decltype(&::pread) pread;
    decltype(&::pread64) pread64;
    decltype(&::pwrite) pwrite;
    decltype(&::pwrite64) pwrite64;
    decltype(&::read) read;
    decltype(&::write) write;
    decltype(&::lseek64) lseek64;
    decltype(&::fwrite) fwrite;
    decltype(&::sleep) sleep;
    decltype(&::usleep) usleep;
    decltype(&::nanosleep) nanosleep;
    decltype(&::clock_nanosleep) clock_nanosleep;
    decltype(&::poll) poll;
};
extern RealCalls real_calls;

template <typename Fn>
Fn next_symbol(Fn& slot, const char* name) {
    if (!slot) slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    return slot;
}

#define REAL(name) next_symbol(real_calls.name, #name)

// ---- the board's devices ----

constexpr int PARTITION_COUNT = 6;
extern const char* const partition_names[PARTITION_COUNT];

enum MtdOp { MTD_OP_GETINFO, MTD_OP_ERASE, MTD_OP_READ, MTD_OP_WRITE, MTD_OP_COUNT };

constexpr int BUS_COUNT = 2;
enum I2cOp { I2C_OP_SLAVE, I2C_OP_READ, I2C_OP_WRITE, I2C_OP_SMBUS, I2C_OP_COUNT };
constexpr int I2C_DEVICE_COUNT = 2;

enum DeviceKind { KIND_MTD, KIND_I2C };

// A descriptor that the program holds on an emulated device: a real descriptor (the backing
// file of a partition, /dev/null for a bus) that only the descriptor table gives its meaning.
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
    unsigned device_requests;   // every logged device request, for "power-cut request K"
    unsigned slot_file_writes;  // writes to files in /user/images, for "power-cut slot-write K"
    // Lines logged and slot-file writes: the board directory is looked at once between two.
    unsigned events;
    uint32_t device_pointer[I2C_DEVICE_COUNT];  // each I2C device's internal address counter
    Tracked tracked[MAX_TRACKED];
};
extern Emulator emulator;

// A file of the board directory (attach.cpp).
void board_path(char* out, size_t size, const char* relative);
size_t read_whole_file(const char* path, char* buffer, size_t size);

// ---- the descriptor table (descriptors.cpp) ----

Tracked* find_tracked(int fd);
// A descriptor that the kernel hands out again no longer means the device it once was.
int forget_reused(int fd);
void forget_all_descriptors();
// Which emulated device a path names; false for every other path.
bool find_device(const char* path, DeviceKind* kind, int* index);
int open_device(DeviceKind kind, int index, const char* path, int flags);
void close_device(Tracked& t);
// "mtd-kernel", "i2c-0".
void device_name(const Tracked& t, char* out, size_t size);

// ---- the request log (request_log.cpp) ----

// The request as the log names it: the device ("mtd-kernel", "i2c-0"), a blank, then the words.
__attribute__((format(printf, 4, 5))) void describe_request(const Tracked& t, char* out, size_t size,
                                                            const char* format, ...);
// One line for a device request, done or failed; the power may then be cut. Keeps errno: the
// program reads it after a failed request.
__attribute__((format(printf, 1, 2))) void log_line(const char* format, ...);
// One line for a pause of the program: not a device request.
__attribute__((format(printf, 1, 2))) void log_pause(const char* format, ...);
// Fails the request being logged: the line ends with the error, then errno is set.
int fail_request(int error, bool injected, const char* request);
// A transfer's line: " -> N" added when fewer bytes moved than asked, or an injected short read.
void log_transfer(const char* request, size_t asked, ssize_t done, bool injected = false);
// The log's descriptor is kept open while attached; these let it go, the second only when it is
// fd. The next line opens the log again.
void close_request_log();
void close_if_request_log(int fd);
// Whether the open log's file was removed (a test clears the log so).
bool request_log_removed();

// ---- what changed in the board directory (watch.cpp) ----

// Watches the board directory the emulator was just attached to.
void watch_board();
// Looks at the board directory once per request: a changed faults file is forgotten, a removed
// request log closed.
void notice_board_changes();
// Lets the watch go when fd is its descriptor; the board is compared from then on.
void close_if_watch(int fd);

// ---- the faults file (faults.cpp) ----

// Whether the faults file has the line "<w0> <w1> <w2> [K]" (w2 may be absent): without K it
// hits every such request, with K only the request whose count since attach is K.
bool fault_listed(const char* w0, const char* w1, const char* w2, unsigned count);
// Whether the faults file cuts the power at this request or slot-file write; always false in the
// unit tests, where the process group is the test runner's.
bool power_cut_listed(const char* fault, unsigned count);
// The next question reads the faults file again, changed or not.
void forget_faults();
// Cuts the power (request_log.cpp): the cut's line is the last of the log.
[[noreturn]] void cut_power(const char* fault, unsigned count);

// ---- the devices (mtd.cpp, i2c.cpp) ----

int mtd_ioctl(const Tracked& t, unsigned request, void* arg);
ssize_t mtd_read_here(const Tracked& t, void* buffer, size_t count);
ssize_t mtd_write_here(const Tracked& t, const void* buffer, size_t count);
// pread() and pwrite(): on an I2C bus refused as the kernel refuses them on a character device
// that cannot seek.
ssize_t positioned_read(const Tracked& t, void* buffer, size_t count, int64_t offset);
ssize_t positioned_write(const Tracked& t, const void* buffer, size_t count, int64_t offset);

int i2c_ioctl(Tracked& t, unsigned request, void* arg);
ssize_t i2c_read(const Tracked& t, void* buffer, size_t count);
ssize_t i2c_write(const Tracked& t, const void* buffer, size_t count);

// ---- the clock (clock.cpp) ----

double read_time_scale();

}  // namespace sim_devices
