// Console input on descriptor 0: single keys, the line editor and timed yes/no questions.
//
// End of input (the console gone: a read gives no byte and was not interrupted) would make every
// loop over these operations spin at full speed, so:
//   - get_raw_char records it (console_input.ended) and pauses one second before it returns 0,
//     so that a caller that waits for a key tries at most once a second;
//   - read_line returns nullptr at end of input, and also when a read was interrupted while
//     break_requested is set, so that its caller can quit on the interrupt key;
//   - ask_yes_no answers no with the time-out line instead of prompting again.
#include "console/console_input.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

volatile std::sig_atomic_t break_requested = 0;
ConsoleInput console_input = {false, KEY_READ};

void on_sigint(int) { break_requested = 1; }

// Without SA_RESTART, so that a console read under way ends at the interrupt key and the menus
// see break_requested at once.
void install_signal_handlers() {
    struct sigaction action = {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

namespace {

void set_keyboard_signals(void (*disposition)(int)) {
    struct sigaction action = {};
    action.sa_handler = disposition;
    sigemptyset(&action.sa_mask);
    sigaction(SIGQUIT, &action, nullptr);
    sigaction(SIGTSTP, &action, nullptr);
}

}  // namespace

// A stray quit key (Ctrl-\, or a byte of an XMODEM sender started too early) would end the boot
// manager and leave the console without one; a stop key would halt it.
void ignore_keyboard_signals() { set_keyboard_signals(SIG_IGN); }

// An ignored signal stays ignored across exec: what the boot manager starts in its place gets
// the dispositions it would have had.
void restore_keyboard_signals() { set_keyboard_signals(SIG_DFL); }

namespace {

constexpr unsigned END_OF_INPUT_PAUSE_SECONDS = 1;
constexpr int ANSWER_WAIT_MS = 5000;

void note_end_of_input() {
    console_input.ended = true;
    sleep(END_OF_INPUT_PAUSE_SECONDS);
}

KeyResult read_one_byte(uint8_t* key) {
    ssize_t count = read(0, key, 1);
    if (count == 1) return KEY_READ;
    if (count == 0) return KEY_NONE;
    return errno == EINTR ? KEY_INTERRUPTED : KEY_FAILED;
}

bool input_gone(KeyResult result) { return result == KEY_NONE || result == KEY_FAILED; }

}  // namespace

// SIGINT is held back from the look at break_requested until ppoll lets it through, so a break
// that lands just before the wait still ends it at once.
bool wait_for_key(int fd) {
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &previous);
    struct pollfd console = {fd, POLLIN, 0};
    bool broken = break_requested || (ppoll(&console, 1, nullptr, &previous) < 0 && errno == EINTR);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return !broken;
}

uint8_t get_raw_char() {
    // When descriptor 0 is not a terminal there are no attributes to change or restore.
    struct termios saved;
    bool is_terminal = tcgetattr(0, &saved) == 0;
    if (is_terminal) {
        struct termios one_key = saved;
        one_key.c_lflag &= ~(ICANON | ECHO);
        one_key.c_cc[VMIN] = 1;
        one_key.c_cc[VTIME] = 0;
        tcsetattr(0, TCSANOW, &one_key);
    }
    uint8_t key = 0;
    console_input.last_key = wait_for_key(0) ? read_one_byte(&key) : KEY_INTERRUPTED;
    if (is_terminal) tcsetattr(0, TCSANOW, &saved);
    if (input_gone(console_input.last_key)) note_end_of_input();
    return key;
}

void put_char_flush(int c) {
    putchar(static_cast<unsigned char>(c));
    fflush(stdout);
}

// ---- the line editor ----

namespace {

constexpr uint8_t KEY_CTRL_A = 1, KEY_CTRL_B = 2, KEY_CTRL_C = 3, KEY_CTRL_D = 4, KEY_CTRL_F = 6;
constexpr uint8_t KEY_BACKSPACE = 8, KEY_LF = 10, KEY_CR = 13, KEY_ESC = 27, KEY_DEL = 127;
constexpr int BELL = 7, BACKSPACE = 8, LINE_FEED = 10, BLANK = 32;

enum EscapeState { ESCAPE_NONE, ESCAPE_STARTED, ESCAPE_SEQUENCE };

struct LineEditor {
    char* line;
    size_t cursor;
    long long free_count;  // room left, the terminating zero included
    EscapeState escape_state;
    bool ended;
};

// The line ends at the first zero: every byte behind it is zero as well.
size_t line_length(const LineEditor& ed) { return strlen(ed.line); }

void write_backspaces(size_t count) {
    for (size_t i = 0; i < count; ++i) put_char_flush(BACKSPACE);
}

void move_to_start(LineEditor& ed) {
    write_backspaces(ed.cursor);
    ed.cursor = 0;
}

void move_left(LineEditor& ed) {
    if (ed.cursor == 0) return;
    put_char_flush(BACKSPACE);
    --ed.cursor;
}

void move_right(LineEditor& ed) {
    if (ed.line[ed.cursor] == '\0') return;
    put_char_flush(static_cast<unsigned char>(ed.line[ed.cursor]));
    ++ed.cursor;
}

// Writes key and the tail behind it, then steps the terminal back to just after key.
void insert_key(LineEditor& ed, uint8_t key) {
    if (ed.free_count <= 1) {
        put_char_flush(BELL);
        return;
    }
    size_t length = line_length(ed);
    size_t tail = length - ed.cursor;
    put_char_flush(key);
    for (size_t i = ed.cursor; i < length; ++i) put_char_flush(static_cast<unsigned char>(ed.line[i]));
    write_backspaces(tail);
    memmove(ed.line + ed.cursor + 1, ed.line + ed.cursor, tail + 1);
    ed.line[ed.cursor] = static_cast<char>(key);
    ++ed.cursor;
    --ed.free_count;
}

// Removes the character at the cursor, redraws the tail over it and blanks the last column.
void delete_at_cursor(LineEditor& ed) {
    size_t length = line_length(ed);
    if (ed.cursor >= length) return;
    memmove(ed.line + ed.cursor, ed.line + ed.cursor + 1, length - ed.cursor);
    ++ed.free_count;
    size_t written = 0;
    for (size_t i = ed.cursor; ed.line[i] != '\0'; ++i, ++written)
        put_char_flush(static_cast<unsigned char>(ed.line[i]));
    put_char_flush(BLANK);
    write_backspaces(written + 1);
}

void delete_backward(LineEditor& ed) {
    if (ed.cursor == 0) return;
    move_left(ed);
    delete_at_cursor(ed);
}

void end_line(LineEditor& ed) {
    put_char_flush(LINE_FEED);
    ed.ended = true;
}

// Ctrl-C arrives as a key only where the console raises no signal. A break must not act as
// Enter on a half-typed answer, so the text typed so far is dropped and the line is empty.
void break_line(LineEditor& ed) {
    fputs(" <break>\n", stdout);
    fflush(stdout);
    memset(ed.line, 0, line_length(ed));
    ed.cursor = 0;
    ed.ended = true;
}

void act_on_plain_key(LineEditor& ed, uint8_t key) {
    switch (key) {
        case KEY_CTRL_A: move_to_start(ed); break;
        case KEY_CTRL_B: move_left(ed); break;
        case KEY_CTRL_C: break_line(ed); break;
        case KEY_CTRL_D: delete_at_cursor(ed); break;
        case KEY_CTRL_F: move_right(ed); break;
        case KEY_BACKSPACE:
        case KEY_DEL: delete_backward(ed); break;
        case KEY_LF:
        case KEY_CR: end_line(ed); break;
        case KEY_ESC: ed.escape_state = ESCAPE_STARTED; break;
        default:
            if (key >= 32)
                insert_key(ed, key);
            else
                put_char_flush(BELL);
    }
}

// ESC Backspace removes the one character before the cursor, exactly as Backspace does.
void act_on_escaped_key(LineEditor& ed, uint8_t key) {
    ed.escape_state = ESCAPE_NONE;
    if (key == '[')
        ed.escape_state = ESCAPE_SEQUENCE;
    else if (key == KEY_BACKSPACE || key == KEY_DEL)
        delete_backward(ed);
    else
        act_on_plain_key(ed, key);
}

// Parameters of a control sequence are skipped; only right and left arrows do anything.
void act_on_sequence_key(LineEditor& ed, uint8_t key) {
    if ((key >= '0' && key <= '9') || key == ';') return;
    ed.escape_state = ESCAPE_NONE;
    if (key == 'C')
        move_right(ed);
    else if (key == 'D')
        move_left(ed);
}

void act_on_key(LineEditor& ed, uint8_t key) {
    switch (ed.escape_state) {
        case ESCAPE_NONE: act_on_plain_key(ed, key); break;
        case ESCAPE_STARTED: act_on_escaped_key(ed, key); break;
        case ESCAPE_SEQUENCE: act_on_sequence_key(ed, key); break;
    }
}

// A key 0 without a byte behind it ends the editing when the console is gone, or when the
// operator's interrupt key ended the read.
bool no_line_to_be_had(uint8_t key) {
    if (key != 0) return false;
    if (input_gone(console_input.last_key)) return true;
    return console_input.last_key == KEY_INTERRUPTED && break_requested;
}

}  // namespace

char* read_line(char* buffer, size_t size) {
    if (size == 0) return nullptr;
    memset(buffer, 0, size);
    LineEditor ed = {buffer, 0, static_cast<long long>(size), ESCAPE_NONE, false};
    while (!ed.ended) {
        uint8_t key = get_raw_char();
        if (no_line_to_be_had(key)) return nullptr;
        act_on_key(ed, key);
    }
    return buffer;
}

// ---- yes/no questions ----

namespace {

void print_timeout() { puts("\nTimeout. Assuming \"no\"."); }

enum WaitResult { ANSWER_WAITING, NO_ANSWER, CONSOLE_GONE };

// A time-out and an interrupted wait both count as no answer.
WaitResult wait_for_answer() {
    struct pollfd console = {0, POLLIN, 0};
    if (poll(&console, 1, ANSWER_WAIT_MS) <= 0) return NO_ANSWER;
    if (console.revents & POLLIN) return ANSWER_WAITING;
    return CONSOLE_GONE;  // hung up or closed, with nothing left to read
}

}  // namespace

// The console stays in line mode: the descriptor turns readable once a whole line is entered,
// and one byte is taken per prompt, so every further byte of a refused line prompts once more.
int ask_yes_no(const char* question) {
    // Printed as plain text: a "%" in a question must not be taken for a conversion.
    fputs(question, stdout);
    for (;;) {
        fputs("(y/n) ", stdout);
        fflush(stdout);
        fflush(stdin);
        WaitResult wait = wait_for_answer();
        if (wait == CONSOLE_GONE) console_input.ended = true;
        if (wait != ANSWER_WAITING) break;
        uint8_t answer = 0;
        KeyResult result = read_one_byte(&answer);
        if (result == KEY_INTERRUPTED) break;
        if (input_gone(result)) {
            // On a terminal in line mode no bytes is the operator's end-of-file key; the
            // console itself is still there.
            if (result == KEY_FAILED || !isatty(0)) console_input.ended = true;
            break;
        }
        if (answer == 'y') return 1;
        if (answer == 'n') return 0;
    }
    print_timeout();
    return 0;
}
