// Attaching the emulator to a board directory: the emulator's state, and the board's files.
#include "emulator.h"

#include <stdlib.h>
#include <string.h>

#include "devices.h"

namespace sim_devices {

Emulator emulator;

void board_path(char* out, size_t size, const char* relative) {
    snprintf(out, size, "%s/%s", emulator.board, relative);
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

}  // namespace sim_devices

void sim_devices_attach(const char* board_dir) {
    using namespace sim_devices;
    // Descriptors opened on another board no longer mean anything.
    if (!emulator.attached || strcmp(emulator.board, board_dir) != 0) forget_all_descriptors();
    close_request_log();
    forget_faults();
    snprintf(emulator.board, sizeof emulator.board, "%s", board_dir);
    watch_board();
    memset(emulator.mtd_requests, 0, sizeof emulator.mtd_requests);
    memset(emulator.i2c_requests, 0, sizeof emulator.i2c_requests);
    memset(emulator.device_pointer, 0, sizeof emulator.device_pointer);
    emulator.device_requests = 0;
    emulator.slot_file_writes = 0;
    emulator.time_scale = read_time_scale();
    emulator.attached = true;
}

void sim_devices_detach() {
    using namespace sim_devices;
    emulator.attached = false;
    forget_all_descriptors();
    close_request_log();
    forget_faults();
}

#if BMSIM_PRELOADED
// Programs that the emulated one starts through the shell must see the host's plain libc.
__attribute__((constructor)) static void attach_at_load() {
    const char* board = getenv("BMSIM_BOARD");
    unsetenv("LD_PRELOAD");
    sim_devices_attach(board && *board ? board : "/sim");
}
#endif
