// Console input: the line editor's keys and exact terminal bytes, one-key mode on a terminal,
// yes/no questions, and the behaviour when the console is gone or interrupted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "boot/boot_sequence.h"
#include "console/console_input.h"
#include "support/test_board.h"

using namespace std::string_literals;

namespace {

const std::string TIMEOUT = "\nTimeout. Assuming \"no\".\n";

// A pipe typed into descriptor 0; the writing end stays open (a silent console) until hang_up.
struct Console {
    int fds[2];
    explicit Console(const std::string& keys = "") {
        EXPECT_EQ(pipe(fds), 0);
        type(keys);
    }
    ~Console() {
        close(fds[0]);
        hang_up();
    }
    void type(const std::string& keys) { EXPECT_EQ(write(fds[1], keys.data(), keys.size()), ssize_t(keys.size())); }
    void hang_up() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    std::string unread() {
        hang_up();
        std::string rest;
        for (char c; read(fds[0], &c, 1) == 1;) rest += c;
        return rest;
    }
};

struct PseudoTerminal {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    int slave = -1;
    PseudoTerminal() {
        EXPECT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
    }
    ~PseudoTerminal() {
        close(slave);
        close(master);
    }
};

// Runs the call with fd as the console (descriptor 0); returns what it wrote to standard output.
std::string on_console(int fd, const std::function<void()>& call) {
    int saved = dup(0);
    dup2(fd, 0);
    std::string shown = capture_stdout(call);
    dup2(saved, 0);
    close(saved);
    return shown;
}

struct Edit {
    std::string keys, line, echo;
    std::string rest = "";  // left on the console
    size_t size = 128;
};

TEST(LineEditor, KeyTableAndRedrawBytes) {
    const Edit edits[] = {
        // Insertion redraws the tail and steps back over it.
        {"ac\x02" "b\r", "abc", "ac\b" "bc\b" "\n"},
        {"abc\x01Z\n", "Zabc", "abc\b\b\b" "Zabc\b\b\b" "\n"},
        // Removal in the middle redraws the tail and blanks the last column.
        {"abcd\x02\x02\x7f\n", "acd", "abcd\b\b" "\b" "cd \b\b\b" "\n"},
        {"abcd\x02\x02\x08\n", "acd", "abcd\b\b" "\b" "cd \b\b\b" "\n"},
        {"abc\x01\x04\n", "bc", "abc\b\b\b" "bc \b\b\b" "\n"},
        {"abc\x02\x04\n", "ab", "abc\b" " \b" "\n"},
        {"ab\x01\x06X\n", "aXb", "ab\b\b" "a" "Xb\b" "\n"},
        // Keys at the edges of the line write nothing.
        {"\x01\x02\x08\x7f\x04x\x04\x06\n", "x", "x\n"},
        // The buffer keeps room for the zero; a removal makes room for exactly one more.
        {std::string(128, 'k') + "\n", std::string(127, 'k'), std::string(127, 'k') + "\x07\n"},
        {"abcd\x7fXY\n", "abX", "abc\x07" "\b \b" "X\x07" "\n", "", 4},
        // Other control codes ring the bell; high codes are inserted.
        {"a\tb\x05\0\x1c\xe9\n"s, "ab\xe9", "a\x07" "b\x07\x07\x07\xe9\n"},
        // Enter ends the line without storing it; the keys after it stay on the console.
        {"\n", "", "\n"},
        {"12\r34\n", "12", "12\n", "34\n"},
        // Ctrl-C breaks the line and drops the text typed.
        {"12\x03" "after", "", "12 <break>\n", "after"},
        // Arrows move the cursor, with parameters skipped; other sequences are dropped.
        {"ab\x01\x1b[CX\n", "aXb", "ab\b\b" "a" "Xb\b" "\n"},
        {"ab\x01\x1b[1;5CX\n", "aXb", "ab\b\b" "a" "Xb\b" "\n"},
        {"ab\x1b[DX\n", "aXb", "ab\b" "Xb\b" "\n"},
        {"ab\x1b[A\x1b[B\x1b[3~c\n", "abc", "abc\n"},
        {"\x1b[\nok\n", "ok", "ok\n"},  // a line end inside a sequence is its final key
        // The key after a lone escape is a plain key; escape backspace removes one character.
        {"\x1bOC\n", "OC", "OC\n"},
        {"\x1b" "a\n", "a", "a\n"},
        {"ab\x1b\x1b[DX\n", "aXb", "ab\b" "Xb\b" "\n"},
        {"ab\x1b\n", "ab", "ab\n"},
        {"ab cd\x1b\x7f\n", "ab c", "ab cd\b \b\n"},
        {"xy12\x02\x1b\x08\n", "xy2", "xy12\b" "\b" "2 \b\b" "\n"},
        {"\x1b\x7fz\n", "z", "z\n"},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(testing::PrintToString(e.keys));
        Console console(e.keys);
        std::string buffer(e.size, 'X');
        char* line = nullptr;
        EXPECT_EQ(on_console(console.fds[0], [&] { line = read_line(buffer.data(), e.size); }), e.echo);
        ASSERT_EQ(line, buffer.data());
        EXPECT_EQ(std::string(line), e.line);
        EXPECT_EQ(console.unread(), e.rest);
    }
}

TEST(RawKey, ReadsOneKeyWithoutEchoOrEnterAndRestoresTheMode) {
    PseudoTerminal tty;
    struct termios before = {}, during = {}, after = {};
    ASSERT_EQ(tcgetattr(tty.slave, &before), 0);
    ASSERT_EQ(before.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(ICANON | ECHO | ISIG));
    // The operator presses one key once one-key mode is on; if it never comes, Enter unblocks
    // the read and the test fails instead of hanging.
    std::thread operator_thread([&] {
        for (int i = 0; i < 1500 && tcgetattr(tty.slave, &during) == 0 && (during.c_lflag & ICANON); ++i)
            usleep(2000);
        bool one_key = !(during.c_lflag & ICANON);
        write(tty.master, "k\n", one_key ? 1 : 2);
    });
    uint8_t key = 0;
    on_console(tty.slave, [&] { key = get_raw_char(); });
    operator_thread.join();
    EXPECT_EQ(key, 'k');
    // Only line mode and echo are off: the interrupt key still raises its signal.
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~tcflag_t(ICANON | ECHO));
    EXPECT_EQ(during.c_iflag, before.c_iflag);
    EXPECT_EQ(during.c_oflag, before.c_oflag);
    EXPECT_EQ(during.c_cc[VMIN], 1);
    EXPECT_EQ(during.c_cc[VTIME], 0);
    ASSERT_EQ(tcgetattr(tty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    struct pollfd echo = {tty.master, POLLIN, 0};
    EXPECT_EQ(poll(&echo, 1, 50), 0) << "nothing was echoed";
}

// One byte is taken per prompt, each after a wait of five seconds at most (the emulator logs
// the waits and cuts them short).
TEST(YesNo, TakesLowerCaseYOrNPromptingAgainForEveryOtherByte) {
    const std::string rejected = "Replacement USB image is in rejected list.\nWould you still like to load it? ";
    struct Case {
        std::string keys, question;
        int answer;
        std::string shown, rest;
        size_t waits;
    };
    const Case cases[] = {
        {"y\n", "Load it? ", 1, "Load it? (y/n) ", "\n", 1},
        {"nope\n", "Load it? ", 0, "Load it? (y/n) ", "ope\n", 1},
        {"Ok\ny\n", "Q? ", 1, "Q? (y/n) (y/n) (y/n) (y/n) ", "\n", 4},
        {"y", "100% %d %s? ", 1, "100% %d %s? (y/n) ", "", 1},  // printed as plain text
        // Capital Y and Enter are refused, then nobody answers.
        {"Y\n", rejected, 0, rejected + "(y/n) (y/n) (y/n) " + TIMEOUT, "", 3},
    };
    TestBoard board;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        board.clear_log();
        Console console(c.keys);
        int answer = -1;
        EXPECT_EQ(on_console(console.fds[0], [&] { answer = ask_yes_no(c.question.c_str()); }), c.shown);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(console.unread(), c.rest);
        EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}), std::vector<std::string>(c.waits, "poll 5000"));
    }
}

// On a terminal in line mode the end-of-file key gives a read of no bytes: the answer is no,
// but the console is still there.
TEST(YesNo, EndOfFileKeyOnATerminalAnswersNo) {
    PseudoTerminal tty;
    bool ended_before = console_input_ended();
    ASSERT_EQ(write(tty.master, "\x04", 1), 1);
    int answer = 1;
    EXPECT_EQ(on_console(tty.slave, [&] { answer = ask_yes_no("Q? "); }), "Q? (y/n) " + TIMEOUT);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(console_input_ended(), ended_before);
}

// ---- the console gone, and the interrupt key ----

// At end of input (a hung-up terminal or pipe, an unreadable descriptor, a file at its end) a
// raw key is 0 after a pause of a second, so that a caller waiting for a key cannot spin;
// read_line gives no line and ask_yes_no answers no without prompting again. A spinning
// operation ends the test program at the alarm instead of hanging it.
TEST(EndOfInput, NoConsoleOperationSpins) {
    TestBoard board;
    alarm(10);
    PseudoTerminal tty;
    close(tty.master);
    tty.master = -1;
    int write_only = open("/dev/null", O_WRONLY), null_fd = open("/dev/null", O_RDONLY);
    for (int console : {tty.slave, write_only, null_fd}) {
        uint8_t key = 1;
        on_console(console, [&] { key = get_raw_char(); });
        EXPECT_EQ(key, 0);
    }
    Console partial("12");
    partial.hang_up();
    char buffer[16];
    char* line = buffer;
    EXPECT_EQ(on_console(partial.fds[0], [&] { line = read_line(buffer, sizeof buffer); }), "12");
    EXPECT_EQ(line, nullptr);
    // An answer typed before the hang-up still counts.
    Console typed("y");
    typed.hang_up();
    const struct {
        int fd, answer;
        std::string shown;
    } asks[] = {{null_fd, 0, "Q? (y/n) " + TIMEOUT}, {typed.fds[0], 1, "Q? (y/n) "}, {typed.fds[0], 0, "Q? (y/n) " + TIMEOUT}};
    for (const auto& ask : asks) {
        int answer = -1;
        EXPECT_EQ(on_console(ask.fd, [&] { answer = ask_yes_no("Q? "); }), ask.shown);
        EXPECT_EQ(answer, ask.answer);
    }
    close(write_only);
    close(null_fd);
    alarm(0);
    EXPECT_TRUE(console_input_ended());
    EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}),
              (std::vector<std::string>{"sleep 1", "sleep 1", "sleep 1", "sleep 1", "poll 5000", "poll 5000", "poll 5000"}));
}

// SIGINT with the boot manager's own handler, sent while the console is silent. Enter, typed
// later, unblocks a read that the signal did not end.
std::string interrupted(Console& console, const std::function<void()>& call) {
    struct sigaction previous = {};
    sigaction(SIGINT, nullptr, &previous);
    install_signal_handlers();
    break_requested = 0;
    pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread operator_thread([&] {
        usleep(200000);
        pthread_kill(reader, SIGINT);
        for (int i = 0; i < 150 && !done; ++i) usleep(10000);
        if (!done) console.type("\n");
    });
    std::string shown = on_console(console.fds[0], call);
    done = true;
    operator_thread.join();
    sigaction(SIGINT, &previous, nullptr);
    return shown;
}

// The emulator runs in real time here and logs any end-of-input pause: an interrupt is none.
TEST(InterruptKey, EndsEveryWaitForTheConsoleAtOnce) {
    TestBoard board(1.0);
    Console console;
    char buffer[16];
    char* line = buffer;
    interrupted(console, [&] { line = read_line(buffer, sizeof buffer); });
    EXPECT_EQ(line, nullptr);
    EXPECT_EQ(break_requested, 1);

    int answer = 1;
    EXPECT_EQ(interrupted(console, [&] { answer = ask_yes_no("Q? "); }), "Q? (y/n) " + TIMEOUT);
    EXPECT_EQ(answer, 0);

    uint8_t key = 1;
    interrupted(console, [&] { key = get_raw_char(); });
    EXPECT_EQ(key, 0);
    EXPECT_EQ(break_requested, 1);
    EXPECT_EQ(log_lines_starting(board.log(), {"sleep"}), std::vector<std::string>{});
    break_requested = 0;
}

}  // namespace
