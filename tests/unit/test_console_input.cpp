// Console input: the line editor's keys and exact terminal bytes, yes/no questions, one-key
// mode on a terminal, and the behaviour when the console is gone or interrupted.
// Faults tried (src/console/console_input.cpp) and the test that caught each:
//   the tail not redrawn after an insertion, parameters of a control sequence other than digits
//   not skipped, the text typed before Ctrl-C kept, a full buffer taking one key more, capital
//   Y taken for yes, the question printed as a format, the end-of-file key of a terminal taken
//   for a console gone, a console gone during the answer's wait or a file at its end not
//   recorded by the question, no pause at end of input -> LineEditor.KeysEditTheLineAndTheTerminalShowsIt
//   or ConsoleInput.AnswersAndTheEndOfInputOnEveryKindOfConsole;
//   read_line going on after an interrupted read, the SIGINT handler installed with SA_RESTART
//   -> ConsoleInput.AnswersAndTheEndOfInputOnEveryKindOfConsole, ended by its alarm;
//   the terminal's mode not restored, the interrupt key's signal switched off in one-key mode ->
//   RawKey.ReadsOneKeyWithoutEchoOrEnterAndRestoresTheMode;
//   the read started without a look at break_requested under a blocked SIGINT (a break just
//   before it lost until the next key), for the key and for the slot question ->
//   RawKey.ABreakJustBeforeTheWaitEndsIt.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
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
#include "devices.h"
#include "install/installer.h"
#include "support/test_board.h"

using namespace std::string_literals;

namespace {

using Lines = std::vector<std::string>;

// Runs the call with fd as the console (descriptor 0); returns what it wrote to standard output.
std::string on_console(int fd, const std::function<void()>& call) {
    int saved = dup(0);
    dup2(fd, 0);
    std::string shown = capture_stdout(call);
    dup2(saved, 0);
    close(saved);
    return shown;
}

// The consoles: a pipe left open until the call returns (silent after the keys), or hung up
// after them, or silent until the interrupt key; a terminal, left open or hung up; a descriptor
// that cannot be read; a file at its end.
enum Console { SILENT, HUNG_UP, INTERRUPTED, TERMINAL, TERMINAL_HUNG_UP, WRITE_ONLY, AT_END };

// The console's descriptor with the keys typed on it, and its far end (a pipe's writing end, a
// terminal's master; -1 once hung up).
std::pair<int, int> open_console(Console kind, const std::string& keys) {
    if (kind == WRITE_ONLY || kind == AT_END) return {open("/dev/null", kind == WRITE_ONLY ? O_WRONLY : O_RDONLY), -1};
    int fds[2] = {-1, -1};
    EXPECT_EQ(kind >= TERMINAL ? openpty(&fds[1], &fds[0], nullptr, nullptr, nullptr) : pipe(fds), 0);
    EXPECT_EQ(write(fds[1], keys.data(), keys.size()), ssize_t(keys.size()));
    if (kind == HUNG_UP || kind == TERMINAL_HUNG_UP) {
        close(fds[1]);
        fds[1] = -1;
    }
    return {fds[0], fds[1]};
}

// The operations, each giving its result as text: the line read into a buffer of `size` bytes
// (filled with X first), the answer to a question that holds conversions, the key.
std::string line_of(size_t size) {
    std::string buffer(size, 'X');
    char* line = read_line(buffer.data(), size);
    return line == nullptr ? "<none>" : line == buffer.data() ? std::string(line) : "<not the buffer>";
}
std::string line() { return line_of(128); }
std::string short_line() { return line_of(4); }
std::string answer() { return std::to_string(ask_yes_no("Q 100% %d? ")); }
std::string key() { return std::to_string(get_raw_char()); }

// Each operation on a console: its result, what it showed, the keys it left on the console,
// whether it found the console gone (console_input.ended), and its waits as the emulator logged
// them. A wait that never ends ends the test program at the alarm instead of hanging it.
struct ConsoleCase {
    std::function<std::string()> call;
    std::string keys, result, shown, rest = "";
    Console console = HUNG_UP;
    bool ended = false;
    Lines waits = {};
};

void run_on_consoles(const std::vector<ConsoleCase>& cases) {
    TestBoard board;
    const auto previous = signal(SIGINT, SIG_DFL);
    install_signal_handlers();
    alarm(20);
    for (const ConsoleCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.keys) + " on console " + std::to_string(c.console));
        setenv("BMSIM_TIME_SCALE", c.console == INTERRUPTED ? "1" : "0", 1);
        sim_devices_attach(board.dir.c_str());
        board.clear_log();
        break_requested = 0;
        console_input.ended = false;
        auto [console, far_end] = open_console(c.console, c.keys);
        std::jthread operator_thread([interrupt = c.console == INTERRUPTED, reader = pthread_self()] {
            if (!interrupt) return;
            usleep(200000);
            pthread_kill(reader, SIGINT);
        });
        std::string result, shown = on_console(console, [&] { result = c.call(); }), rest;
        if (far_end >= 0) close(far_end);
        for (char k; read(console, &k, 1) == 1;) rest += k;
        close(console);
        EXPECT_EQ(std::tuple(result, shown, rest, console_input.ended, break_requested == 1),
                  std::tuple(c.result, c.shown, c.rest, c.ended, c.console == INTERRUPTED));
        EXPECT_EQ(log_lines_starting(board.log(), {"poll", "sleep"}), c.waits);
    }
    alarm(0);
    signal(SIGINT, previous);
    break_requested = 0;
    console_input.ended = false;
}

// The line editor: keys in octal (\1 Ctrl-A, \2 Ctrl-B, \3 Ctrl-C, \4 Ctrl-D, \6 Ctrl-F, \33
// escape, \177 delete; \a in the echo is the bell), on a console hung up after them.
TEST(LineEditor, KeysEditTheLineAndTheTerminalShowsIt) {
    run_on_consoles({
        // Insertion redraws the tail and steps back over it; removal in the middle redraws the
        // tail and blanks the last column.
        {line, "ac\2b\r", "abc", "ac\bbc\b\n"},
        {line, "abcd\2\2\b\n", "acd", "abcd\b\b\bcd \b\b\b\n"},
        {line, "abc\1\4\6X\n", "bXc", "abc\b\b\bbc \b\b\bbXc\b\n"},
        // Keys at the edges of the line write nothing.
        {line, "\1\2\b\177\4x\4\6\n", "x", "x\n"},
        // The buffer keeps room for the zero; a removal makes room for exactly one more.
        {line, std::string(128, 'k') + "\n", std::string(127, 'k'), std::string(127, 'k') + "\a\n"},
        {short_line, "abcd\177XY\n", "abX", "abc\a\b \bX\a\n"},
        // Other control codes ring the bell; high codes are inserted.
        {line, "a\tb\5\0\34\xe9\n"s, "ab\xe9", "a\ab\a\a\a\xe9\n"},
        // Enter ends the line without storing it; the keys after it stay on the console.
        {line, "12\r34\n", "12", "12\n", "34\n"},
        // Ctrl-C breaks the line and drops the text typed.
        {line, "12\3after", "", "12 <break>\n", "after"},
        // Arrows move the cursor, with parameters skipped; other sequences are dropped; a line
        // end inside a sequence is its final key.
        {line, "ab\33[D\33[D\33[1;5CX\n", "aXb", "ab\b\baXb\b\n"},
        {line, "ab\33[A\33[B\33[3~c\33[\nok\n", "abcok", "abcok\n"},
        // The key after a lone escape is a plain key; escape backspace removes one character.
        {line, "\33OCab cd\33\177\n", "OCab c", "OCab cd\b \b\n"},
    });
}

//  - Yes/no: one byte is taken per prompt, each after a wait of five seconds at most (the
//    emulator cuts it short); the question is printed as plain text.
//  - At end of input a key is 0 after a pause of a second, so that a caller waiting for a key
//    cannot spin; read_line gives no line and ask_yes_no answers no without prompting again.
//    The end-of-file key of a terminal in line mode (a read of no bytes) answers no but leaves
//    the console there.
//  - SIGINT with the boot manager's own handler, sent while the console is silent, ends every
//    wait at once: no line, the answer no, key 0, and no end-of-input pause. The emulator runs
//    in real time for it.
TEST(ConsoleInput, AnswersAndTheEndOfInputOnEveryKindOfConsole) {
    const std::string Q = "Q 100% %d? (y/n) ", P = "(y/n) ", TIMEOUT = "\nTimeout. Assuming \"no\".\n";
    const std::string POLL = "poll 5000", SLEEP = "sleep 1";
    run_on_consoles({
        // Yes/no takes lower-case y or n, prompting again for every other byte; capital Y and
        // Enter are refused, then nobody answers.
        {answer, "y\n", "1", Q, "\n", SILENT, false, {POLL}},
        {answer, "nope\n", "0", Q, "ope\n", SILENT, false, {POLL}},
        {answer, "Ok\ny\n", "1", Q + P + P + P, "\n", SILENT, false, Lines(4, POLL)},
        {answer, "Y\n", "0", Q + P + P + TIMEOUT, "", SILENT, false, Lines(3, POLL)},
        // End of input; an answer typed before the hang-up still counts.
        {answer, "\4", "0", Q + TIMEOUT, "", TERMINAL, false, {POLL}},
        {key, "", "0", "", "", TERMINAL_HUNG_UP, true, {SLEEP}},
        {key, "", "0", "", "", WRITE_ONLY, true, {SLEEP}},
        {key, "", "0", "", "", AT_END, true, {SLEEP}},
        {answer, "", "0", Q + TIMEOUT, "", AT_END, true, {POLL}},
        {line, "12", "<none>", "12", "", HUNG_UP, true, {SLEEP}},
        {answer, "y", "1", Q, "", HUNG_UP, false, {POLL}},
        {answer, "", "0", Q + TIMEOUT, "", HUNG_UP, true, {POLL}},
        // The interrupt key.
        {line, "", "<none>", "", "", INTERRUPTED},
        {answer, "", "0", Q + TIMEOUT, "", INTERRUPTED, false, {POLL}},
        {key, "", "0", "", "", INTERRUPTED},
    });
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

// A break that lands after the caller's last look at break_requested and before the read would
// leave the read waiting for the next key: the waits look at the flag with SIGINT held back, so a
// break already in ends them at once, though a key is waiting. So for the one-key read and for
// the slot question's line.
TEST(RawKey, ABreakJustBeforeTheWaitEndsIt) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(write(master, "2\n", 2), 2);
    break_requested = 1;
    on_console(slave, [] { EXPECT_EQ(get_raw_char(), 0); });
    EXPECT_EQ(console_input.last_key, KEY_INTERRUPTED);
    FILE* console = fdopen(dup(slave), "r");
    EXPECT_EQ(read_slot_answer(console), SLOT_ANSWER_BREAK);
    break_requested = 0;
    struct pollfd line = {slave, POLLIN, 0};
    EXPECT_EQ(poll(&line, 1, 0), 1);  // the answer typed is still there
    fclose(console), close(master), close(slave);
}

}  // namespace
