// The request log, devices.log: one line per request, appended in order. Its descriptor is kept
// open while the emulator is attached, and the line goes out with one write, so the log is whole
// up to the moment the power is cut; a log that was removed meanwhile is started again.
#include "emulator.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>

namespace sim_devices {

namespace {

// The log's descriptor is moved up here, out of the way of the numbers the program gets
// (watch.cpp's is the next one).
constexpr int LOG_DESCRIPTOR_FLOOR = 900;
int log_fd = -1;

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

int open_log() {
    char path[PATH_MAX + 32];
    board_path(path, sizeof path, "devices.log");
    int fd = REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, LOG_DESCRIPTOR_FLOOR);
    if (moved < 0) return fd;
    REAL(close)(fd);
    return moved;
}

// The open log; opened again when it was removed (a test clears it so).
int log_descriptor() {
    notice_board_changes();
    if (log_fd < 0) log_fd = open_log();
    return log_fd;
}

void append_formatted(const char* format, va_list args) {
    char line[1024];
    int length = vsnprintf(line, sizeof line - 1, format, args);
    if (length < 0) length = 0;
    if (length > static_cast<int>(sizeof line) - 2) length = sizeof line - 2;
    line[length++] = '\n';
    int fd = log_descriptor();
    if (fd < 0) return;
    ssize_t ignored = REAL(write)(fd, line, static_cast<size_t>(length));
    (void)ignored;
}

}  // namespace

void close_request_log() {
    if (log_fd >= 0) REAL(close)(log_fd);
    log_fd = -1;
}

void close_if_request_log(int fd) {
    if (fd >= 0 && fd == log_fd) close_request_log();
}

bool request_log_removed() {
    struct stat64 st;
    return log_fd >= 0 && (fstat64(log_fd, &st) != 0 || st.st_nlink == 0);
}

void describe_request(const Tracked& t, char* out, size_t size, const char* format, ...) {
    device_name(t, out, size);
    size_t used = strlen(out);
    if (used + 1 >= size) return;
    out[used++] = ' ';
    va_list args;
    va_start(args, format);
    vsnprintf(out + used, size - used, format, args);
    va_end(args);
}

void log_line(const char* format, ...) {
    int saved_errno = errno;
    va_list args;
    va_start(args, format);
    append_formatted(format, args);
    va_end(args);
    unsigned request = ++emulator.device_requests;
    if (power_cut_listed("request", request)) cut_power("request", request);
    ++emulator.events;
    errno = saved_errno;
}

void log_pause(const char* format, ...) {
    int saved_errno = errno;
    va_list args;
    va_start(args, format);
    append_formatted(format, args);
    va_end(args);
    ++emulator.events;
    errno = saved_errno;
}

int fail_request(int error, bool injected, const char* request) {
    log_line("%s failed %s%s", request, errno_name(error), injected ? " (injected)" : "");
    errno = error;
    return -1;
}

void log_transfer(const char* request, size_t asked, ssize_t done, bool injected) {
    if (injected)
        log_line("%s -> %zd (injected short read)", request, done);
    else if (done == static_cast<ssize_t>(asked))
        log_line("%s", request);
    else
        log_line("%s -> %zd", request, done);
}

// A power cut: the line goes to the request log and the board log, the faults file is set aside
// as faults.cut so that the next power-on runs without it, and every process of the program's
// group ends at once, as on a real cut; what the board has stored so far stays.
void cut_power(const char* fault, unsigned count) {
    char line[96];
    int length = snprintf(line, sizeof line, "power cut after %s %u\n", fault, count);
    int fd = log_descriptor();
    ssize_t ignored = fd < 0 ? 0 : REAL(write)(fd, line, static_cast<size_t>(length));
    char path[PATH_MAX + 32], kept[PATH_MAX + 32];
    board_path(path, sizeof path, "log");
    fd = REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ignored = REAL(write)(fd, line, static_cast<size_t>(length));
        REAL(close)(fd);
    }
    (void)ignored;
    board_path(path, sizeof path, "faults");
    board_path(kept, sizeof kept, "faults.cut");
    rename(path, kept);
    kill(0, SIGKILL);
    _exit(128 + SIGKILL);
}

}  // namespace sim_devices
