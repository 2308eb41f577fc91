// Console input: the line editor's keys and exact terminal bytes, one-key mode on a terminal,
// yes/no questions, and the behaviour when the console is gone or interrupted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "console/console_input.h"
#include "support/test_board.h"

using namespace std::string_literals;

namespace {

const std::string TIMEOUT = "\nTimeout. Assuming \"no\".\n";

// Runs the call with fd as the console (descriptor 0); returns what it wrote to standard output.
std::string on_console(int fd, const std::function<void()>& call) {
    int saved = dup(0);
    dup2(fd, 0);
    std::string shown = capture_stdout(call);
    dup2(saved, 0);
    close(saved);
    return shown;
}

// Runs the call with a pipe holding keys as the console, its writing end closed (a hung-up
// console) or left open until the call returns (a silent one); *rest gets the keys left on it.
std::string on_pipe(const std::string& keys, bool hung_up, const std::function<void()>& call,
                    std::string* rest = nullptr) {
    int fds[2];
    EXPECT_TRUE(pipe(fds) == 0 && write(fds[1], keys.data(), keys.size()) == ssize_t(keys.size()));
    if (hung_up) close(fds[1]);
    std::string shown = on_console(fds[0], call);
    if (!hung_up) close(fds[1]);
    for (char c; rest && read(fds[0], &c, 1) == 1;) *rest += c;
    close(fds[0]);
    return shown;
}

TEST(LineEditor, KeyTableAndRedrawBytes) {
    const struct {
        std::string keys, line, echo, rest = "";  // rest: left on the console
        size_t size = 128;
    } edits[] = {
        // Insertion redraws the tail and steps back over it; removal in the middle redraws the
        // tail and blanks the last column.
        {"ac\x02"
         "b\r",
         "abc",
         "ac\b"
         "bc\b"
         "\n"},
        {"abcd\x02\x02\x08\n", "acd",
         "abcd\b\b"
         "\b"
         "cd \b\b\b"
         "\n"},
        {"abc\x01\x04\n", "bc",
         "abc\b\b\b"
         "bc \b\b\b"
         "\n"},
        {"ab\x01\x06X\n", "aXb",
         "ab\b\b"
         "a"
         "Xb\b"
         "\n"},
        // Keys at the edges of the line write nothing.
        {"\x01\x02\x08\x7f\x04x\x04\x06\n", "x", "x\n"},
        // The buffer keeps room for the zero; a removal makes room for exactly one more.
        {std::string(128, 'k') + "\n", std::string(127, 'k'), std::string(127, 'k') + "\x07\n"},
        {"abcd\x7fXY\n", "abX",
         "abc\x07"
         "\b \b"
         "X\x07"
         "\n",
         "", 4},
        // Other control codes ring the bell; high codes are inserted.
        {"a\tb\x05\0\x1c\xe9\n"s, "ab\xe9",
         "a\x07"
         "b\x07\x07\x07\xe9\n"},
        // Enter ends the line without storing it; the keys after it stay on the console.
        {"12\r34\n", "12", "12\n", "34\n"},
        // Ctrl-C breaks the line and drops the text typed.
        {"12\x03"
         "after",
         "", "12 <break>\n", "after"},
        // Arrows move the cursor, with parameters skipped; other sequences are dropped; a line
        // end inside a sequence is its final key.
        {"ab\x01\x1b[1;5CX\n", "aXb",
         "ab\b\b"
         "a"
         "Xb\b"
         "\n"},
        {"ab\x1b[DX\n", "aXb",
         "ab\b"
         "Xb\b"
         "\n"},
        {"ab\x1b[A\x1b[B\x1b[3~c\n", "abc", "abc\n"},
        {"\x1b[\nok\n", "ok", "ok\n"},
        // The key after a lone escape is a plain key; escape backspace removes one character.
        {"\x1bOC\n", "OC", "OC\n"},
        {"ab cd\x1b\x7f\n", "ab c", "ab cd\b \b\n"},
        {"xy12\x02\x1b\x08\n", "xy2",
         "xy12\b"
         "\b"
         "2 \b\b"
         "\n"},
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(testing::PrintToString(e.keys));
        std::string buffer(e.size, 'X'), rest;
        char* line = nullptr;
        EXPECT_EQ(on_pipe(
                      e.keys, true, [&] { line = read_line(buffer.data(), e.size); }, &rest),
                  e.echo);
        EXPECT_EQ(line == buffer.data() ? std::string(line) : "<not the buffer>", e.line);
        EXPECT_EQ(rest, e.rest);
    }
}

TEST(RawKey, ReadsOneKeyWithoutEchoOrEnterAndRestoresTheMode) {
    int master = -1, slave = -1;
    struct termios before = {}, during = {}, after = {};
    ASSERT_TRUE(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0 && tcgetattr(slave, &before) == 0);
    // The operator presses one key once one-key mode is on; if it never comes, Enter unblocks
    // the read and the test fails instead of hanging.
    std::thread operator_thread([&] {
        for (int i = 0; i < 1500 && tcgetattr(slave, &during) == 0 && (during.c_lflag & ICANON); ++i) usleep(2000);
        write(master, "k\n", (during.c_lflag & ICANON) ? 2 : 1);
    });
    on_console(slave, [] { EXPECT_EQ(get_raw_char(), 'k'); });
    operator_thread.join();
    // Only line mode and echo are off: the interrupt key still raises its signal.
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~tcflag_t(ICANON | ECHO));
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_TRUE(after.c_lflag == before.c_lflag && memcmp(after.c_cc, before.c_cc, NCCS) == 0);
    close(master);
    close(slave);
}

// One byte is taken per prompt, each after a wait of five seconds at most (the emulator logs
// the waits and cuts them short).
TEST(YesNo, TakesLowerCaseYOrNPromptingAgainForEveryOtherByte) {
    const struct {
        std::string keys, question;
        int answer;
        std::string shown, rest;
        size_t waits;
    } cases[] = {
        {"y\n", "Load it? ", 1, "Load it? (y/n) ", "\n", 1},
        {"nope\n", "Load it? ", 0, "Load it? (y/n) ", "ope\n", 1},
        {"Ok\ny\n", "Q? ", 1, "Q? (y/n) (y/n) (y/n) (y/n) ", "\n", 4},
        {"y", "100% %d %s? ", 1, "100% %d %s? (y/n) ", "", 1},  // printed as plain text
        // Capital Y and Enter are refused, then nobody answers.
        {"Y\n", "Load it?\n", 0, "Load it?\n(y/n) (y/n) (y/n) " + TIMEOUT, "", 3},
    };
    TestBoard board;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        board.clear_log();
        int answer = -1;
        std::string rest;
        EXPECT_EQ(on_pipe(
                      c.keys, false, [&] { answer = ask_yes_no(c.question.c_str()); }, &rest),
                  c.shown);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(rest, c.rest);
        EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}), std::vector<std::string>(c.waits, "poll 5000"));
    }
}

// At end of input (a hung-up terminal or pipe, an unreadable descriptor, a file at its end) a
// raw key is 0 after a pause of a second, so that a caller waiting for a key cannot spin;
// read_line gives no line and ask_yes_no answers no without prompting again. A spinning
// operation ends the test program at the alarm instead of hanging it. The end-of-file key of a
// terminal in line mode (a read of no bytes) answers no but leaves the console there.
TEST(EndOfInput, NoConsoleOperationSpins) {
    TestBoard board;
    alarm(10);
    int master = -1, slave = -1;
    bool ended_before = console_input.ended;
    ASSERT_TRUE(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0 && write(master, "\x04", 1) == 1);
    EXPECT_EQ(on_console(slave, [] { EXPECT_EQ(ask_yes_no("Q? "), 0); }), "Q? (y/n) " + TIMEOUT);
    EXPECT_EQ(console_input.ended, ended_before);
    close(master);
    int write_only = open("/dev/null", O_WRONLY), null_fd = open("/dev/null", O_RDONLY);
    for (int console : {slave, write_only, null_fd}) on_console(console, [] { EXPECT_EQ(get_raw_char(), 0); });
    char buffer[16];
    EXPECT_EQ(on_pipe("12", true, [&] { EXPECT_EQ(read_line(buffer, sizeof buffer), nullptr); }), "12");
    EXPECT_EQ(on_console(null_fd, [] { EXPECT_EQ(ask_yes_no("Q? "), 0); }), "Q? (y/n) " + TIMEOUT);
    // An answer typed before the hang-up still counts.
    EXPECT_EQ(on_pipe("y", true, [] { EXPECT_EQ(ask_yes_no("Q? "), 1); }), "Q? (y/n) ");
    EXPECT_EQ(on_pipe("", true, [] { EXPECT_EQ(ask_yes_no("Q? "), 0); }), "Q? (y/n) " + TIMEOUT);
    close(write_only);
    close(null_fd);
    close(slave);
    alarm(0);
    EXPECT_TRUE(console_input.ended);
    EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}),
              (std::vector<std::string>{"poll 5000", "sleep 1", "sleep 1", "sleep 1", "sleep 1", "poll 5000",
                                        "poll 5000", "poll 5000"}));
}

// SIGINT with the boot manager's own handler, sent while the console is silent, ends every
// wait for the console at once: no line, the answer no, key 0. A read that the signal did not
// end ends the test program at the alarm. The emulator runs in real time here and logs any
// end-of-input pause: an interrupt is none.
TEST(InterruptKey, EndsEveryWaitForTheConsoleAtOnce) {
    TestBoard board(1.0);
    struct sigaction previous = {};
    sigaction(SIGINT, nullptr, &previous);
    install_signal_handlers();
    alarm(10);
    char buffer[16];
    const std::pair<std::function<void()>, std::string> waits[] = {
        {[&] { EXPECT_EQ(read_line(buffer, sizeof buffer), nullptr); }, ""},
        {[] { EXPECT_EQ(ask_yes_no("Q? "), 0); }, "Q? (y/n) " + TIMEOUT},
        {[] { EXPECT_EQ(get_raw_char(), 0); }, ""},
    };
    for (const auto& [call, shown] : waits) {
        break_requested = 0;
        std::thread operator_thread([reader = pthread_self()] {
            usleep(200000);
            pthread_kill(reader, SIGINT);
        });
        EXPECT_EQ(on_pipe("", false, call), shown);
        operator_thread.join();
        EXPECT_EQ(break_requested, 1);
    }
    alarm(0);
    EXPECT_EQ(log_lines_starting(board.log(), {"sleep"}), std::vector<std::string>{});
    sigaction(SIGINT, &previous, nullptr);
    break_requested = 0;
}

}  // namespace
