// XMODEM download over the serial console: the port switched to 115200 bps raw, the external
// receiver run on the console, the port switched back, and the received file installed.
#include "rescue/serial_download.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/files.h"
#include "common/shell.h"
#include "install/installer.h"

struct termios saved_serial_settings;

namespace {

constexpr int POLLS_PER_REMINDER = 11;

// Polls the non-blocking port once a second until the awaited byte comes; other bytes are
// dropped. A read error other than "nothing yet" ends the wait: nothing can come any more.
void wait_for_enter(int port, char awaited, const char* reminder) {
    int misses = 0;
    for (;;) {
        char byte = 0;
        ssize_t got = read(port, &byte, 1);
        if (got == 1 && byte == awaited) return;
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
        sleep(1);
        if (++misses == POLLS_PER_REMINDER) {
            puts(reminder);
            fflush(stdout);
            misses = 0;
        }
    }
}

}  // namespace

// 115200 bps, 8 data bits, no parity, one stop bit, no input or output processing.
struct termios download_settings(const struct termios& saved) {
    struct termios settings = saved;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cflag &= ~(PARENB | CSTOPB | CSIZE);
    settings.c_cflag |= CS8;
    settings.c_iflag = IGNBRK;
    settings.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    settings.c_oflag = 0;
    return settings;
}

int serial_download_setup() {
    int port = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port < 0) {
        perror("Can't open serial port!");
        return -1;
    }
    puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    puts("       before initiating the download.");
    fflush(stdout);

    // the prompt goes out at the old speed before the switch
    tcdrain(port);
    tcflush(port, TCIOFLUSH);
    tcgetattr(port, &saved_serial_settings);
    struct termios settings = download_settings(saved_serial_settings);
    tcsetattr(port, TCSADRAIN, &settings);
    tcflow(port, TCOON);

    // under the raw settings Enter arrives as a carriage return
    wait_for_enter(port, '\r', "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    return port;
}

void serial_download_restore(int port) {
    // a port that did not open was never switched, and has nothing to wait on
    if (port < 0) return;
    puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    fflush(stdout);
    tcdrain(port);
    tcflush(port, TCIOFLUSH);
    tcsetattr(port, TCSADRAIN, &saved_serial_settings);
    tcflow(port, TCOON);
    // the console's own settings translate Enter to a line feed
    wait_for_enter(port, '\n', "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

Ending xmodem_rescue() {
    puts("Running xmodem rescue.....");
    // An old file (an earlier download, a recovery install) must never pass for a new one.
    unlink("/tmp/image");
    int port = serial_download_setup();
    shell_step("/usr/bin/rx /tmp/image");  // only the received file tells whether the transfer worked
    bool received = path_exists("/tmp/image");
    serial_download_restore(port);
    if (port >= 0) close(port);
    if (!received) return GO_ON;
    return install_package("/tmp/image", 0, 0) == INSTALL_BOOT_DOWNLOAD ? END_START_APPLICATION : GO_ON;
}
