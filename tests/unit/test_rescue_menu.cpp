// The rescue menu's parts that run here rather than on the simulated board: the menu when the
// console has no more input to give (the one case of it that reaches neither a shell command nor
// a reboot); the USB file chooser's answer rules and its listing of the stick's entries; the
// serial download's port settings, and its restore step on a pseudo-terminal of the test's own
// (the saved settings put back, the wait for a line feed with its reminders; the set-up step
// opens the console's fixed device and is covered on the board).
// Faults tried (src/rescue/rescue_menu.cpp, usb_media.cpp, serial_download.cpp) and the test
// that caught each:
//   the menu leaving as with R (a reboot) instead of E at the end of console input ->
//   RescueMenuDeathTest.LeavesAsWithExitWhenTheConsoleInputHasEnded;
//   blanks skipped before q -> UsbMenuAnswer.Rules;
//   stat instead of lstat (a link to a folder left out), entries found or listed numbered from
//   0 -> UsbEntries.ListsAndFindsEverythingButFolders;
//   each field of the download settings changed (speed, CS8, parity, stop bits, c_iflag,
//   c_oflag, the local modes) -> SerialSetup.DownloadSettingsAre115200Bps8N1Raw;
//   no early return without a port, the wait ended by a carriage return, the saved settings not
//   put back, a reminder every ten polls ->
//   SerialRestore.PutsTheSavedSettingsBackAndWaitsForALineFeed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "rescue/rescue_menu.h"
#include "rescue/serial_download.h"
#include "rescue/usb_media.h"
#include "support/test_board.h"

using namespace std::string_literals;

namespace {

// On an empty console the menu leaves at once as with E (GO_ON, 0), after one prompt. The end
// of input is remembered for the rest of the process, so the menu runs in a child.
int menu_on_empty_input() {
    TestBoard board;
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    int result = -1;
    std::string output = capture_stdout([&] { result = int(rescue_menu()); });
    size_t prompt = output.find("Option? : ");
    fprintf(stderr, "result %d, one prompt %d, left %d\n", result, prompt == output.rfind("Option? : "),
            output.substr(prompt + 10) == "\0\nNo console input: leaving rescue mode.\n"s);
    return 0;
}

TEST(RescueMenuDeathTest, LeavesAsWithExitWhenTheConsoleInputHasEnded) {
    EXPECT_EXIT(_exit(menu_on_empty_input()), ::testing::ExitedWithCode(0), "result 0, one prompt 1, left 1");
}

// q or Q first quits; a leading number after blanks is taken, the rest ignored; anything else
// is refused. The number is left alone unless one is taken.
TEST(UsbMenuAnswer, Rules) {
    const struct {
        const char* line;
        UsbMenuAnswer answer;
        int number;
    } cases[] = {
        {"q", USB_ANSWER_QUIT, 7},      {"Q", USB_ANSWER_QUIT, 7},      {"quit 3", USB_ANSWER_QUIT, 7},
        {"   2", USB_ANSWER_NUMBER, 2}, {"2abc", USB_ANSWER_NUMBER, 2}, {"-4", USB_ANSWER_NUMBER, -4},
        {"0", USB_ANSWER_NUMBER, 0},    {"abc", USB_ANSWER_INVALID, 7}, {"", USB_ANSWER_INVALID, 7},
        {" q", USB_ANSWER_INVALID, 7},
    };
    for (const auto& c : cases) {
        int number = 7;  // the list's elements are evaluated in order
        EXPECT_EQ((std::pair{parse_usb_menu_answer(c.line, &number), number}), std::pair(c.answer, c.number)) << c.line;
    }
}

// Everything but folders is offered (a link to a folder, a dangling link and a fifo as well),
// listed as "\t<n>: <name>" and found again by the same number. The chooser runs inside the
// stick's folder, and so does the test. Odd and long names are covered on the simulated board.
TEST(UsbEntries, ListsAndFindsEverythingButFolders) {
    char stick[] = "/tmp/usb_menu_XXXXXX";
    ASSERT_NE(mkdtemp(stick), nullptr);
    const std::filesystem::path saved_cwd = std::filesystem::current_path();
    std::filesystem::current_path(stick);
    std::ofstream("plain.img") << "x";
    EXPECT_TRUE(mkdir("folder", 0755) == 0 && symlink("folder", "link_to_folder") == 0 &&
                symlink("missing", "dangling") == 0 && mkfifo("fifo", 0644) == 0);
    std::string listing;
    std::multiset<std::string> names;
    for (int number : {-1, 0, 1, 2, 3, 4, 5, 1000}) {
        DIR* dir = opendir(".");
        const char* name = find_usb_entry(dir, number);
        EXPECT_EQ(name != nullptr, number >= 1 && number <= 4) << number;
        if (name) names.insert(name), listing += "\t" + std::to_string(number) + ": " + name + "\n";
        closedir(dir);
    }
    EXPECT_EQ(names, (std::multiset<std::string>{"plain.img", "link_to_folder", "dangling", "fifo"}));
    DIR* dir = opendir(".");  // the listing, then the count it returns
    EXPECT_EQ(capture_stdout([&] { printf("%d", list_usb_entries(dir)); }), listing + "4");
    closedir(dir);
    std::filesystem::current_path(saved_cwd);
    std::filesystem::remove_all(stick);
}

// The saved settings here have no input translation: Enter stays a carriage return, which does
// not end the wait; the line feed typed 40 polls later does. Meanwhile every eleventh one-second
// poll without it shows a reminder.
TEST(SerialRestore, PutsTheSavedSettingsBackAndWaitsForALineFeed) {
    TestBoard board{0.001};  // each one-second poll takes a millisecond
    int master = -1, port = -1;
    ASSERT_TRUE(openpty(&master, &port, nullptr, nullptr, nullptr) == 0 &&
                tcgetattr(port, &saved_serial_settings) == 0);
    fcntl(port, F_SETFL, fcntl(port, F_GETFL) | O_NONBLOCK);
    cfmakeraw(&saved_serial_settings);
    auto polls = [&] { return log_lines_starting(board.log(), {"sleep 1"}).size(); };
    // Keys typed once the wait polls (the restore flushes pending input first): Enter at once,
    // the line feed after 40 polls, or after about ten seconds if the wait has ended before.
    std::thread typist([&] {
        while (polls() == 0) {}
        write(master, "\r", 1);
        for (time_t end = time(nullptr) + 10; polls() < 40 && time(nullptr) < end;) {}
        write(master, "\n", 1);
    });
    std::string output = capture_stdout([&] { serial_download_restore(port); });
    typist.join();
    std::string expected = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
    for (size_t i = 0; i < polls() / 11; ++i) expected += "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";
    EXPECT_EQ(output, expected);
    EXPECT_GE(polls(), 40u);
    struct termios now;
    tcgetattr(port, &now);
    EXPECT_TRUE(now.c_lflag == saved_serial_settings.c_lflag && now.c_iflag == saved_serial_settings.c_iflag &&
                now.c_oflag == saved_serial_settings.c_oflag);
    close(master), close(port);
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
