// The restore step of the serial download on a pseudo-terminal of the test's own: the saved
// settings put back, the wait for a line feed with its reminders. The set-up step opens the
// console's fixed device and is covered on the simulated board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "console/serial_download.h"
#include "support/test_board.h"

namespace {

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The emulator scales every sleep of the process, the test's own included; select is left alone.
void real_pause_ms(int ms) {
    struct timeval wait = {0, ms * 1000};
    select(0, nullptr, nullptr, nullptr, &wait);
}

const char* const REMINDER = "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";

struct SerialRestore : ::testing::Test {
    TestBoard board{0.001};  // each one-second poll takes a millisecond
    int master = -1;
    int port = -1;

    void SetUp() override {
        ASSERT_EQ(openpty(&master, &port, nullptr, nullptr, nullptr), 0);
        fcntl(port, F_SETFL, fcntl(port, F_GETFL) | O_NONBLOCK);
    }
    void TearDown() override {
        close(master);
        close(port);
    }

    size_t polls_before_second = 0;

    // Keys typed on the other side once the wait polls (the restore flushes pending input first),
    // the second 100 ms after the first.
    std::string restore_while_typing(const std::string& first, const std::string& second) {
        std::thread typist([&] {
            while (polls() == 0) real_pause_ms(1);
            write(master, first.data(), first.size());
            real_pause_ms(100);
            polls_before_second = polls();
            write(master, second.data(), second.size());
        });
        std::string output = capture_stdout([&] { serial_download_restore(port); });
        typist.join();
        return output;
    }

    size_t polls() {
        size_t count = 0;
        for (const std::string& line : board.log()) count += line == "sleep 1";
        return count;
    }
};

TEST_F(SerialRestore, PutsTheSavedSettingsBackAndWaitsForALineFeed) {
    ASSERT_EQ(tcgetattr(port, &saved_serial_settings), 0);
    struct termios raw = saved_serial_settings;
    cfmakeraw(&raw);
    tcsetattr(port, TCSANOW, &raw);

    std::string output = restore_while_typing("ab", "\n");
    EXPECT_EQ(output.find("       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"), 0u) << output;
    struct termios now;
    tcgetattr(port, &now);
    EXPECT_EQ(now.c_lflag, saved_serial_settings.c_lflag);
    EXPECT_EQ(now.c_iflag, saved_serial_settings.c_iflag);
    EXPECT_EQ(now.c_oflag, saved_serial_settings.c_oflag);
    // a reminder on every eleventh poll without the line feed
    EXPECT_GT(polls(), 11u) << output;
    EXPECT_EQ(count_of(output, REMINDER), polls() / 11) << polls();
}

TEST_F(SerialRestore, CarriageReturnWithoutInputTranslationDoesNotEndTheWait) {
    ASSERT_EQ(tcgetattr(port, &saved_serial_settings), 0);
    cfmakeraw(&saved_serial_settings);  // no ICRNL: Enter stays a carriage return
    board.clear_log();
    restore_while_typing("\r", "\n");
    // the wait went on past the carriage return, until the line feed 100 ms later
    EXPECT_GT(polls_before_second, 11u);
}

TEST(SerialRestoreWithoutPort, ReturnsAtOnceAndPrintsNothing) {
    TestBoard board;
    EXPECT_EQ(capture_stdout([] { serial_download_restore(-1); }), "");
}

}  // namespace
