// Console input: the line editor's keys and exact terminal bytes, one-key mode on a terminal,
// yes/no questions, and the behaviour when the console is gone or interrupted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "boot/boot_sequence.h"
#include "console/console_input.h"
#include "support/test_board.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Descriptor fd stands in for descriptor `target` until the end of the scope.
struct DescriptorSwap {
    int target;
    int saved;
    DescriptorSwap(int fd, int target_fd) : target(target_fd), saved(dup(target_fd)) {
        dup2(fd, target);
    }
    ~DescriptorSwap() {
        dup2(saved, target);
        close(saved);
    }
};

// A pipe that feeds descriptor 0; the writing end stays open until close_writer.
struct ConsolePipe {
    int fds[2];
    ConsolePipe() { EXPECT_EQ(pipe(fds), 0); }
    explicit ConsolePipe(const std::string& keys) : ConsolePipe() { type(keys); }
    ~ConsolePipe() {
        close(fds[0]);
        close_writer();
    }
    void type(const std::string& keys) {
        ASSERT_EQ(write(fds[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    void close_writer() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    std::string unread() {
        close_writer();
        std::string rest;
        char c;
        while (read(fds[0], &c, 1) == 1) rest += c;
        return rest;
    }
};

struct EditResult {
    std::string line;
    std::string echo;
    bool returned_buffer = false;
};

// Types keys on a console and runs read_line on a buffer of `size` bytes.
EditResult edit(const std::string& keys, size_t size = 128) {
    ConsolePipe console(keys);
    EditResult result;
    std::string buffer(size, 'X');
    DescriptorSwap swap(console.fds[0], 0);
    result.echo = capture_stdout([&] {
        char* line = read_line(buffer.data(), size);
        result.returned_buffer = line == buffer.data();
        if (line) result.line = line;
    });
    return result;
}

TEST(LineEditor, InsertsInTheMiddleAndRedrawsTheTail) {
    EditResult r = edit("ac\x02" "b\r");
    EXPECT_TRUE(r.returned_buffer);
    EXPECT_EQ(r.line, "abc");
    EXPECT_EQ(r.echo, "ac\b" "bc\b" "\n");

    r = edit("abc\x01Z\n");
    EXPECT_EQ(r.line, "Zabc");
    EXPECT_EQ(r.echo, "abc\b\b\b" "Zabc\b\b\b" "\n");
}

TEST(LineEditor, BackspaceInTheMiddleBlanksTheLastColumn) {
    EditResult r = edit("abcd\x02\x02\x7f\n");
    EXPECT_EQ(r.line, "acd");
    EXPECT_EQ(r.echo, "abcd\b\b" "\b" "cd \b\b\b" "\n");

    r = edit("abcd\x02\x02\x08\n");
    EXPECT_EQ(r.line, "acd");
}

TEST(LineEditor, CtrlDRemovesTheCharacterUnderTheCursor) {
    EditResult r = edit("abc\x01\x04\n");
    EXPECT_EQ(r.line, "bc");
    EXPECT_EQ(r.echo, "abc\b\b\b" "bc \b\b\b" "\n");

    r = edit("abc\x02\x04\n");
    EXPECT_EQ(r.line, "ab");
    EXPECT_EQ(r.echo, "abc\b" " \b" "\n");
}

TEST(LineEditor, CtrlFMovesRightWritingTheCharacterPassed) {
    EditResult r = edit("ab\x01\x06X\n");
    EXPECT_EQ(r.line, "aXb");
    EXPECT_EQ(r.echo, "ab\b\b" "a" "Xb\b" "\n");
}

TEST(LineEditor, KeysAtTheEdgesOfTheLineWriteNothing) {
    EditResult r = edit("\x01\x02\x08\x7f\x04x\x04\x06\n");
    EXPECT_EQ(r.line, "x");
    EXPECT_EQ(r.echo, "x\n");
}

TEST(LineEditor, BufferKeepsRoomForTheTerminatingZero) {
    EditResult r = edit(std::string(128, 'k') + "\n");
    EXPECT_EQ(r.line, std::string(127, 'k'));
    EXPECT_EQ(r.echo, std::string(127, 'k') + "\x07\n");

    // A removal makes room for exactly one more character.
    r = edit("abcd\x7fXY\n", 4);
    EXPECT_EQ(r.line, "abX");
    EXPECT_EQ(r.echo, "abc\x07" "\b \b" "X\x07" "\n");
}

TEST(LineEditor, ControlCodesRingTheBellAndHighCodesAreInserted) {
    EditResult r = edit(std::string("a\tb\x05") + '\0' + "\x1c\xe9\n");
    EXPECT_EQ(r.line, "ab\xe9");
    EXPECT_EQ(r.echo, "a\x07" "b\x07\x07\x07\xe9\n");
}

TEST(LineEditor, EnterEndsTheLineWithoutStoringIt) {
    EXPECT_EQ(edit("\n").line, "");
    EXPECT_EQ(edit("\r").echo, "\n");
    // Only the keys up to the line end are taken from the console.
    ConsolePipe console("12\r34\n");
    char buffer[16];
    {
        DescriptorSwap swap(console.fds[0], 0);
        capture_stdout([&] { read_line(buffer, sizeof buffer); });
    }
    EXPECT_STREQ(buffer, "12");
    EXPECT_EQ(console.unread(), "34\n");
}

TEST(LineEditor, ArrowSequencesMoveTheCursorWithParametersSkipped) {
    EditResult plain = edit("ab\x01\x1b[CX\n");
    EditResult with_parameters = edit("ab\x01\x1b[1;5CX\n");
    EXPECT_EQ(plain.line, "aXb");
    EXPECT_EQ(with_parameters.line, "aXb");
    EXPECT_EQ(plain.echo, with_parameters.echo);

    EditResult left = edit("ab\x1b[DX\n");
    EXPECT_EQ(left.line, "aXb");
    EXPECT_EQ(left.echo, "ab\b" "Xb\b" "\n");
}

TEST(LineEditor, OtherSequencesAreDropped) {
    EditResult r = edit("ab\x1b[A\x1b[B\x1b[3~c\n");
    EXPECT_EQ(r.line, "abc");
    EXPECT_EQ(r.echo, "abc\n");
    // A line end inside a control sequence is its final key, not the end of the line.
    EXPECT_EQ(edit("\x1b[\nok\n").line, "ok");
}

TEST(LineEditor, KeyAfterEscapeIsTakenAsAPlainKey) {
    EXPECT_EQ(edit("\x1bOC\n").line, "OC");
    EXPECT_EQ(edit("\x1b" "a\n").line, "a");
    EXPECT_EQ(edit("ab\x1b\x1b[DX\n").line, "aXb");
    EXPECT_EQ(edit("ab\x1b\n").line, "ab");
}

TEST(LineEditor, EscapeBackspaceRemovesOneCharacter) {
    EditResult r = edit("ab cd\x1b\x7f\n");
    EXPECT_EQ(r.line, "ab c");
    EXPECT_EQ(r.echo, "ab cd\b \b\n");
    EXPECT_EQ(edit("xy12\x02\x1b\x08\n").line, "xy2");
    EXPECT_EQ(edit("\x1b\x7fz\n").echo, "z\n");
}

TEST(LineEditor, CtrlCBreaksTheLineAndDropsTheTextTyped) {
    ConsolePipe console("12\x03" "after");
    char buffer[16];
    char* line = nullptr;
    std::string echo;
    {
        DescriptorSwap swap(console.fds[0], 0);
        echo = capture_stdout([&] { line = read_line(buffer, sizeof buffer); });
    }
    EXPECT_EQ(line, buffer);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(echo, "12 <break>\n");
    EXPECT_EQ(console.unread(), "after");
}

TEST(ConsoleOutput, PutCharFlushWritesTheLowByteAtOnce) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(stdout);
    {
        DescriptorSwap swap(fds[1], 1);
        put_char_flush(0x141);
        put_char_flush(0x0a);
        // Already in the pipe, before any later flush.
        char bytes[2] = {};
        EXPECT_EQ(read(fds[0], bytes, 2), 2);
        EXPECT_EQ(std::string(bytes, 2), "A\n");
    }
    close(fds[0]);
    close(fds[1]);
}

// ---- one-key mode on a real terminal ----

struct PseudoTerminal {
    int master = -1;
    int slave = -1;
    PseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
    }
    ~PseudoTerminal() {
        close(slave);
        close(master);
    }
};

TEST(RawKey, ReadsOneKeyWithoutEchoOrEnterAndRestoresTheMode) {
    PseudoTerminal tty;
    struct termios before;
    ASSERT_EQ(tcgetattr(tty.slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    ASSERT_TRUE(before.c_lflag & ECHO);

    // Once the terminal is in one-key mode, note that mode and press a single key. If that
    // mode never comes, Enter unblocks the read and the test fails instead of hanging.
    struct termios during = {};
    bool saw_one_key_mode = false;
    std::thread operator_thread([&] {
        auto start = Clock::now();
        while (seconds_since(start) < 3) {
            tcgetattr(tty.slave, &during);
            if (!(during.c_lflag & ICANON)) {
                saw_one_key_mode = true;
                break;
            }
            usleep(2000);
        }
        write(tty.master, saw_one_key_mode ? "k" : "k\n", saw_one_key_mode ? 1 : 2);
    });
    uint8_t key;
    {
        DescriptorSwap swap(tty.slave, 0);
        key = get_raw_char();
    }
    operator_thread.join();
    EXPECT_EQ(key, 'k');
    ASSERT_TRUE(saw_one_key_mode);
    EXPECT_FALSE(during.c_lflag & ECHO);
    EXPECT_EQ(during.c_lflag | ICANON | ECHO, before.c_lflag | ICANON | ECHO);
    EXPECT_TRUE(during.c_lflag & ISIG);
    EXPECT_EQ(during.c_iflag, before.c_iflag);
    EXPECT_EQ(during.c_oflag, before.c_oflag);
    EXPECT_EQ(during.c_cc[VMIN], 1);
    EXPECT_EQ(during.c_cc[VTIME], 0);

    struct termios after;
    ASSERT_EQ(tcgetattr(tty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    // Nothing was echoed.
    struct pollfd echo = {tty.master, POLLIN, 0};
    EXPECT_EQ(poll(&echo, 1, 50), 0);
}

// A terminal whose far end has gone, and a descriptor that cannot be read: end of input too.
TEST(RawKey, HungUpOrUnreadableConsoleIsEndOfInput) {
    TestBoard board;
    PseudoTerminal tty;
    close(tty.master);
    tty.master = -1;
    int write_only = open("/dev/null", O_WRONLY);
    for (int console : {tty.slave, write_only}) {
        DescriptorSwap swap(console, 0);
        EXPECT_EQ(get_raw_char(), 0);
    }
    close(write_only);
    EXPECT_TRUE(console_input_ended());
    std::vector<std::string> pauses(2, "sleep 1");
    EXPECT_EQ(log_lines_starting(board.log(), {"sleep"}), pauses);
}

// ---- yes/no questions ----

struct Answer {
    int result;
    std::string shown;
};

Answer ask(ConsolePipe& console, const char* question) {
    Answer answer;
    DescriptorSwap swap(console.fds[0], 0);
    answer.shown = capture_stdout([&] { answer.result = ask_yes_no(question); });
    return answer;
}

TEST(YesNo, TakesLowerCaseYOrNAndLeavesTheRestOfTheLine) {
    ConsolePipe yes("y\n");
    Answer a = ask(yes, "Load it? ");
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.shown, "Load it? (y/n) ");
    EXPECT_EQ(yes.unread(), "\n");

    ConsolePipe no("nope\n");
    a = ask(no, "Load it? ");
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.shown, "Load it? (y/n) ");
    EXPECT_EQ(no.unread(), "ope\n");
}

TEST(YesNo, PromptsAgainForEveryOtherByte) {
    ConsolePipe console("Ok\ny\n");
    Answer a = ask(console, "Q? ");
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.shown, "Q? (y/n) (y/n) (y/n) (y/n) ");
}

TEST(YesNo, QuestionIsPrintedAsPlainText) {
    ConsolePipe console("y");
    EXPECT_EQ(ask(console, "100% %d %s? ").shown, "100% %d %s? (y/n) ");
}

// On a terminal in line mode, the end-of-file key gives a read of no bytes: the answer is no,
// but the console is still there.
TEST(YesNo, EndOfFileKeyOnATerminalAnswersNo) {
    PseudoTerminal tty;
    bool ended_before = console_input_ended();
    ASSERT_EQ(write(tty.master, "\x04", 1), 1);
    int result = 1;
    std::string shown;
    {
        DescriptorSwap swap(tty.slave, 0);
        shown = capture_stdout([&] { result = ask_yes_no("Q? "); });
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(shown, "Q? (y/n) \nTimeout. Assuming \"no\".\n");
    EXPECT_EQ(console_input_ended(), ended_before);
}

// Capital Y and Enter are refused, then nobody answers. The emulator logs each wait and cuts it
// short.
TEST(YesNo, CapitalYIsRefusedAndSilenceTimesOutAsNo) {
    TestBoard board;
    ConsolePipe console("Y\n");
    Answer a = ask(console, "Replacement USB image is in rejected list.\nWould you still like to load it? ");
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.shown,
              "Replacement USB image is in rejected list.\nWould you still like to load it? "
              "(y/n) (y/n) (y/n) \nTimeout. Assuming \"no\".\n");
    std::vector<std::string> waits(3, "poll 5000");
    EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}), waits);
}

// ---- the console gone, and the interrupt key ----

// A console operation that spins at end of input ends the test program at the alarm instead
// of hanging it.
struct SpinGuard {
    SpinGuard() { alarm(10); }
    ~SpinGuard() { alarm(0); }
};

// Descriptor 0 reads from /dev/null for the scope: end of input at once.
struct NoConsole {
    SpinGuard guard;
    int null_fd = open("/dev/null", O_RDONLY);
    DescriptorSwap swap{null_fd, 0};
    ~NoConsole() { close(null_fd); }
};

// A caller that waits for a key, in real time: one try a second.
TEST(EndOfInput, RawKeyIsZeroAndPausesSoThatCallersCannotSpin) {
    NoConsole console;
    auto start = Clock::now();
    int calls = 0;
    while (seconds_since(start) < 2) {
        if (get_raw_char() != 0) break;
        ++calls;
    }
    EXPECT_TRUE(console_input_ended());
    EXPECT_GE(calls, 1);
    EXPECT_LE(calls, 3);
}

TEST(EndOfInput, ReadLineGivesNoLineAfterOnePause) {
    TestBoard board;
    SpinGuard guard;
    ConsolePipe partial("12");
    partial.close_writer();
    char buffer[16];
    char* line = buffer;
    std::string echo;
    {
        DescriptorSwap swap(partial.fds[0], 0);
        echo = capture_stdout([&] { line = read_line(buffer, sizeof buffer); });
    }
    EXPECT_EQ(line, nullptr);
    EXPECT_EQ(echo, "12");
    EXPECT_TRUE(console_input_ended());
    EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}), std::vector<std::string>{"sleep 1"});
}

TEST(EndOfInput, YesNoAnswersNoWithoutPromptingAgain) {
    TestBoard board;
    {
        NoConsole console;
        std::string shown;
        int result = 1;
        shown = capture_stdout([&] { result = ask_yes_no("Q? "); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(shown, "Q? (y/n) \nTimeout. Assuming \"no\".\n");
    }
    // A pipe whose writer has gone reports a hang-up rather than input.
    ConsolePipe closed("n");
    closed.close_writer();
    Answer a = ask(closed, "Q? ");
    EXPECT_EQ(a.result, 0);
    a = ask(closed, "Q? ");
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.shown, "Q? (y/n) \nTimeout. Assuming \"no\".\n");
    std::vector<std::string> waits(3, "poll 5000");
    EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}), waits);
}

// SIGINT with the boot manager's own handler arrives while the console is silent.
class InterruptKey : public ::testing::Test {
protected:
    struct sigaction previous = {};
    pthread_t reader = pthread_self();
    ConsolePipe console;
    std::thread operator_thread;

    void SetUp() override {
        sigaction(SIGINT, nullptr, &previous);
        install_signal_handlers();
        break_requested = 0;
    }
    void TearDown() override {
        if (operator_thread.joinable()) operator_thread.join();
        sigaction(SIGINT, &previous, nullptr);
        break_requested = 0;
    }
    std::atomic<bool> reader_done{false};

    // Interrupts the reader after a moment; Enter later unblocks a read the signal did not end.
    void press_interrupt_soon() {
        operator_thread = std::thread([this] {
            usleep(200000);
            pthread_kill(reader, SIGINT);
            for (int i = 0; i < 150 && !reader_done; ++i) usleep(10000);
            if (!reader_done) console.type("\n");
        });
    }
};

TEST_F(InterruptKey, EndsReadLineWithoutALine) {
    char buffer[16];
    char* line = buffer;
    press_interrupt_soon();
    {
        DescriptorSwap swap(console.fds[0], 0);
        capture_stdout([&] { line = read_line(buffer, sizeof buffer); });
    }
    reader_done = true;
    EXPECT_EQ(line, nullptr);
    EXPECT_EQ(break_requested, 1);
}

TEST_F(InterruptKey, EndsTheYesNoWaitAsATimeOut) {
    press_interrupt_soon();
    Answer a = ask(console, "Q? ");
    reader_done = true;
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.shown, "Q? (y/n) \nTimeout. Assuming \"no\".\n");
}

// An interrupted read is no end of input: no pause.
TEST_F(InterruptKey, MakesRawKeyZeroAtOnce) {
    press_interrupt_soon();
    auto start = Clock::now();
    uint8_t key;
    {
        DescriptorSwap swap(console.fds[0], 0);
        key = get_raw_char();
    }
    reader_done = true;
    EXPECT_LT(seconds_since(start), 0.9);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(break_requested, 1);
}

}  // namespace
