// The console of the simulated board is a pseudo-terminal. A serial port's tcdrain waits until
// the line has sent its output, so a following output flush finds nothing left to discard; a
// pseudo-terminal's tcdrain returns at once, and its output flush throws away whatever bmsim has
// not read yet: a prompt, or the receiver's last acknowledgement. Preloaded into the program
// (with the device emulator) and into the XMODEM receiver, this makes a terminal's output flush
// keep what was written, as a serial port would have sent it; pending input is still discarded.
#include <dlfcn.h>
#include <termios.h>
#include <unistd.h>

extern "C" int tcflush(int fd, int queue) {
    static auto real_tcflush = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "tcflush"));
    if ((queue == TCOFLUSH || queue == TCIOFLUSH) && isatty(fd)) {
        if (queue == TCOFLUSH) return 0;
        queue = TCIFLUSH;
    }
    return real_tcflush(fd, queue);
}
