// What changed in the board directory since the last request: a faults file written, replaced or
// removed is read again at its next question, a request log that was removed is started anew at
// its next line. Looked at once per request: an inotify watch on the board directory answers with
// one read that finds nothing most of the time. Where no watch can be had, the faults file's
// identity, size and times are compared instead, and the log's link count looked at.
#include "emulator.h"

#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace sim_devices {

namespace {

// The watch's descriptor is moved up here, out of the way of the numbers the program gets.
constexpr int WATCH_DESCRIPTOR_FLOOR = 901;
constexpr uint32_t WATCHED = IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// Plain data only, zero before any code runs: the preloaded library attaches from a constructor.
struct Watch {
    bool open;  // fd is an inotify instance
    int fd;
    bool watching;  // board is the watch on the board directory; else the files are compared
    int board;
    bool looked;      // since attach
    unsigned events;  // emulator.events when the directory was last looked at
    bool faults_present;
    struct stat64 faults_stamp;  // without a watch: the faults file as last seen
};
Watch watch;

bool same_file(const struct stat64& a, const struct stat64& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Takes the watch's events; whether there were any. Which file an event names is not looked at:
// events are few (a faults file written, a stub's line in the board log, an EEPROM write), and a
// user-space emulator of the switch's processor may hand them over in the host's byte order.
bool take_events() {
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    while (REAL(read)(watch.fd, buffer, sizeof buffer) > 0) any = true;
    return any;
}

// Something changed in the board directory: the faults file is read again at its next question,
// the log is opened again if it was removed, and the directory is watched again in case it was
// replaced (a removed one ends the watch: the files are compared from then on).
void board_changed() {
    forget_faults();
    if (request_log_removed()) close_request_log();
    watch.board = inotify_add_watch(watch.fd, emulator.board, WATCHED);
    watch.watching = watch.board >= 0;
}

void compare_files() {
    char path[PATH_MAX + 32];
    board_path(path, sizeof path, "faults");
    struct stat64 now;
    bool present = stat64(path, &now) == 0;
    if (present != watch.faults_present || (present && !same_file(now, watch.faults_stamp))) forget_faults();
    watch.faults_present = present;
    watch.faults_stamp = now;
    if (request_log_removed()) close_request_log();
}

}  // namespace

void watch_board() {
    if (!watch.open) {
        int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        int moved = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, WATCH_DESCRIPTOR_FLOOR);
        if (moved >= 0) REAL(close)(fd);
        watch.fd = moved >= 0 ? moved : fd;
        watch.open = watch.fd >= 0;
    }
    if (watch.watching) inotify_rm_watch(watch.fd, watch.board);
    if (watch.open) take_events();  // what happened before this attach, and the old watch's end
    watch.board = watch.open ? inotify_add_watch(watch.fd, emulator.board, WATCHED) : -1;
    watch.watching = watch.board >= 0;
    watch.looked = false;
}

void notice_board_changes() {
    if (watch.looked && watch.events == emulator.events) return;
    int saved_errno = errno;
    if (!watch.watching) {
        compare_files();
    } else if (take_events()) {
        board_changed();
    }
    watch.looked = true;
    watch.events = emulator.events;
    errno = saved_errno;
}

void close_if_watch(int fd) {
    if (!watch.open || fd != watch.fd) return;
    REAL(close)(watch.fd);
    watch = Watch{};
}

}  // namespace sim_devices
