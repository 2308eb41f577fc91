// The serial download's port settings, and its restore step on a pseudo-terminal of the test's
// own: the saved settings put back, the wait for a line feed with its reminders. The set-up step
// opens the console's fixed device and is covered on the simulated board. Faults tried
// (src/rescue/serial_download.cpp) and the test that caught them:
//   - each field of the download settings changed (speed, CS8, parity, stop bits, c_iflag,
//     c_oflag, the local modes): SerialSetup.DownloadSettingsAre115200Bps8N1Raw
//   - no early return without a port, the wait ended by a carriage return, the saved settings
//     not put back, a reminder every ten polls:
//     SerialRestore.PutsTheSavedSettingsBackAndWaitsForALineFeed
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "rescue/serial_download.h"
#include "support/test_board.h"

namespace {

// The emulator scales every sleep of the process, the test's own included; select is left alone.
void real_pause_ms(int ms) {
    struct timeval wait = {0, ms * 1000};
    select(0, nullptr, nullptr, nullptr, &wait);
}

// The saved settings here have no input translation: Enter stays a carriage return, which does
// not end the wait; the line feed typed 100 ms later does. Meanwhile every eleventh one-second
// poll without it shows a reminder.
TEST(SerialRestore, PutsTheSavedSettingsBackAndWaitsForALineFeed) {
    TestBoard board{0.001};  // each one-second poll takes a millisecond
    int master = -1, port = -1;
    ASSERT_EQ(openpty(&master, &port, nullptr, nullptr, nullptr), 0);
    fcntl(port, F_SETFL, fcntl(port, F_GETFL) | O_NONBLOCK);
    ASSERT_EQ(tcgetattr(port, &saved_serial_settings), 0);
    cfmakeraw(&saved_serial_settings);
    auto polls = [&] { return log_lines_starting(board.log(), {"sleep 1"}).size(); };
    size_t polls_before_line_feed = 0;
    // Keys typed once the wait polls (the restore flushes pending input first).
    std::thread typist([&] {
        while (polls() == 0) real_pause_ms(1);
        write(master, "\r", 1);
        real_pause_ms(100);
        polls_before_line_feed = polls();
        write(master, "\n", 1);
    });
    std::string output = capture_stdout([&] { serial_download_restore(port); });
    typist.join();
    std::string expected = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
    for (size_t i = 0; i < polls() / 11; ++i) expected += "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";
    EXPECT_EQ(output, expected);
    EXPECT_GT(polls_before_line_feed, 11u);
    struct termios now;
    tcgetattr(port, &now);
    EXPECT_TRUE(now.c_lflag == saved_serial_settings.c_lflag && now.c_iflag == saved_serial_settings.c_iflag &&
                now.c_oflag == saved_serial_settings.c_oflag);
    close(master);
    close(port);
    // A port that did not open was never switched: nothing to restore or wait for.
    EXPECT_EQ(capture_stdout([] { serial_download_restore(-1); }), "");
}

// The download runs at 115200 bps, 8 data bits, no parity, one stop bit, raw in both directions,
// whatever the console's own settings were; the other bits of the modes stay as they were.
TEST(SerialSetup, DownloadSettingsAre115200Bps8N1Raw) {
    struct termios saved = {};
    saved.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | CLOCAL;
    saved.c_iflag = ICRNL | IXON | BRKINT;
    saved.c_oflag = OPOST | ONLCR;
    saved.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    cfsetspeed(&saved, B9600);
    struct termios s = download_settings(saved);
    const tcflag_t modes = CSIZE | PARENB | CSTOPB | CREAD | CLOCAL | PARODD;
    EXPECT_EQ(std::tuple(cfgetispeed(&s), cfgetospeed(&s), s.c_cflag & modes, s.c_iflag, s.c_oflag, s.c_lflag),
              std::tuple(B115200, B115200, CS8 | CREAD | CLOCAL | PARODD, IGNBRK, 0, IEXTEN));
}

}  // namespace
