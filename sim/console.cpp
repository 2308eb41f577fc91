// The console of bmsim boot: what the board shows goes to standard output; what it is typed
// comes from the terminal, standard input or a script; files go with lrzsz's XMODEM-1K sender.
#include "console.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr char BREAK_KEY = 0x03;  // what a break stands for on the switch: the interrupt key
constexpr char ERASE_KEY = 0x7F;

// Ctrl-] as "Ctrl-]", a printable key as itself.
std::string key_name(int key) {
    if (key < 0x20 || key == 0x7F) return std::string("Ctrl-") + static_cast<char>(key ^ 0x40);
    return std::string(1, static_cast<char>(key));
}

std::string escape_keys(int escape) {
    std::string name = key_name(escape);
    return "keys after " + name + ": q stop the board, s send a file (XMODEM-1K), b send a break (Ctrl-C), " + name +
           " send " + name + ", ? this list";
}
constexpr long long IDLE_WAIT_MS = 20;
constexpr size_t LAST_LINES_SHOWN = 10;

// ---- the script ----

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// C's escapes \r \n \t \\ and \xHH; false for any other.
bool unescape(const std::string& text, std::string* bytes) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *bytes += text[i];
            continue;
        }
        switch (i + 1 < text.size() ? text[++i] : '\0') {
            case 'r': *bytes += '\r'; break;
            case 'n': *bytes += '\n'; break;
            case 't': *bytes += '\t'; break;
            case '\\': *bytes += '\\'; break;
            case 'x':
                if (i + 2 >= text.size() || hex_digit(text[i + 1]) < 0 || hex_digit(text[i + 2]) < 0) return false;
                *bytes += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
                i += 2;
                break;
            default: return false;
        }
    }
    return true;
}

bool refuse(std::string* why, const std::string& text) {
    *why = text;
    return false;
}

bool parse_step(const std::string& line, ScriptStep* step, std::string* why) {
    size_t space = line.find(' ');
    std::string word = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (word == "stop") {
        step->kind = StepKind::STOP;
        return rest.empty() || refuse(why, "'stop' takes nothing after it");
    }
    if (rest.empty()) return refuse(why, "'" + word + "' needs a text, a file or a number of seconds");
    if (word == "expect" || word == "send") {
        step->kind = word == "expect" ? StepKind::EXPECT : StepKind::SEND;
        if (!unescape(rest, &step->text)) return refuse(why, "an unknown escape in '" + rest + "'");
    } else if (word == "sendfile") {
        step->kind = StepKind::SENDFILE;
        step->text = rest;
    } else if (word == "sleep") {
        step->kind = StepKind::SLEEP;
        char* end = nullptr;
        step->seconds = std::strtod(rest.c_str(), &end);
        if (*end != '\0' || !(step->seconds >= 0)) return refuse(why, "'" + rest + "' is not a number of seconds");
    } else {
        return refuse(why, "unknown step '" + word + "' (expect, send, sendfile, sleep, stop)");
    }
    return true;
}

// ---- writing ----

void write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// ---- the escape key ----

void ask_file_name(Console& console) {
    if (console.transfer.pid > 0) return notice(console, "a file is being sent");
    console.asking_file = true;
    console.file_name.clear();
    std::fputs("\r\nbmsim: file to send: ", stderr);
}

// The file name is typed as on a plain line: Backspace erases, Enter sends, Ctrl-C, Esc or
// Ctrl-] sends nothing.
void edit_file_name(Console& console, char key) {
    if (key == '\r' || key == '\n') {
        console.asking_file = false;
        std::string error;
        if (console.file_name.empty())
            notice(console, "nothing sent");
        else if (!start_transfer(console, console.file_name, &error))
            notice(console, error);
    } else if (key == BREAK_KEY || key == 0x1B || key == static_cast<char>(console.escape_key)) {
        console.asking_file = false;
        notice(console, "nothing sent");
    } else if ((key == ERASE_KEY || key == '\b') && !console.file_name.empty()) {
        console.file_name.pop_back();
        std::fputs("\b \b", stderr);
    } else if (static_cast<unsigned char>(key) >= ' ' && key != ERASE_KEY) {
        console.file_name += key;
        std::fputc(key, stderr);
    }
}

// Keys typed while a file is being sent would spoil the transfer: they are dropped. Until the
// receiver has asked for the file they still reach the switch.
void type_key_through(Console& console, char key) {
    if (console.transfer.pid < 0 || !console.transfer.receiver_asked) console.pending += key;
}

void escape_command(Console& console, char key) {
    console.escaped = false;
    if (key == static_cast<char>(console.escape_key)) return type_key_through(console, key);
    switch (key) {
        case 'q': console.quit = true; break;
        case 's': ask_file_name(console); break;
        case 'b': console.pending += BREAK_KEY; break;
        case 'c': cancel_transfer(console); break;
        default: notice(console, escape_keys(console.escape_key));  // '?', and any key that means nothing here
    }
}

void type_key(Console& console, char key) {
    if (console.asking_file) return edit_file_name(console, key);
    if (console.escaped) return escape_command(console, key);
    if (console.interactive && console.escape_key >= 0 && key == static_cast<char>(console.escape_key))
        console.escaped = true;
    else
        type_key_through(console, key);
}

// ---- the script ----

// True once the step is done.
bool run_step(Console& console, const ScriptStep& step) {
    bool started = std::exchange(console.step_started, true);
    switch (step.kind) {
        case StepKind::EXPECT: {
            size_t found = console.shown.find(step.text, console.mark);
            if (found == std::string::npos) return false;
            console.mark = found + step.text.size();
            return true;
        }
        case StepKind::SEND: console.pending += step.text; return true;
        case StepKind::STOP: console.quit = true; return true;
        case StepKind::SLEEP:
            if (!started)
                console.sleep_until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(step.seconds));
            return Clock::now() >= console.sleep_until;
        case StepKind::SENDFILE:
            if (!started && !start_transfer(console, step.text, &console.failure)) return false;
            return console.transfer.pid < 0 && console.failure.empty();
    }
    return false;
}

}  // namespace

bool parse_script(std::istream& in, const std::string& name, std::vector<ScriptStep>* steps, std::string* error) {
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        ScriptStep step;
        step.line = number;
        step.source = line.substr(start);
        std::string why;
        if (!parse_step(step.source, &step, &why)) {
            *error = name + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        steps->push_back(step);
    }
    return true;
}

void relay_output(Console& console) {
    char buffer[4096];
    ssize_t n = read(console.master, buffer, sizeof buffer);
    if (n > 0) {
        write_all(STDOUT_FILENO, buffer, static_cast<size_t>(n));
        if (console.script) console.shown.append(buffer, static_cast<size_t>(n));
        if (console.transfer.pid > 0) pass_to_sender(console, buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        console.master_open = false;
    }
}

// Every byte goes through unchanged, but the escape key on a terminal: the console also
// carries XMODEM transfers.
void take_input(Console& console) {
    char buffer[4096];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        // After the last key the console stays open and silent, as a terminal left alone would.
        console.input_open = false;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) type_key(console, buffer[i]);
}

void type_pending(Console& console) {
    ssize_t n = write(console.master, console.pending.data(), console.pending.size());
    if (n > 0) console.pending.erase(0, static_cast<size_t>(n));
}

void advance_console(Console& console) {
    advance_transfer(console);
    while (console.script && console.failure.empty() && !script_finished(console) &&
           run_step(console, (*console.script)[console.step])) {
        ++console.step;
        console.step_started = false;
    }
}

int console_wait_ms(const Console& console) {
    if (console.transfer.held.empty()) return IDLE_WAIT_MS;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(console.transfer.held_until - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, IDLE_WAIT_MS));
}

bool script_finished(const Console& console) { return !console.script || console.step >= console.script->size(); }

bool script_only_waits(const Console& console) {
    for (size_t step = console.step; console.script && step < console.script->size(); ++step)
        if ((*console.script)[step].kind != StepKind::SLEEP) return false;
    return true;
}

void report_script_failure(const Console& console, const std::string& script_name, const std::string& why) {
    const ScriptStep& step = (*console.script)[console.step];
    std::fflush(stdout);
    std::fprintf(stderr, "\nbmsim: script %s, line %d failed: %s\nbmsim: %s; the console's last lines:\n",
                 script_name.c_str(), step.line, step.source.c_str(), why.c_str());
    std::vector<std::string> lines(1);
    for (char c : console.shown) {
        if (c == '\n') lines.emplace_back();
        if (c != '\r' && c != '\n') lines.back() += c;
    }
    for (size_t i = lines.size() > LAST_LINES_SHOWN ? lines.size() - LAST_LINES_SHOWN : 0; i < lines.size(); ++i)
        std::fprintf(stderr, "| %s\n", lines[i].c_str());
}

void notice(const Console& console, const std::string& text) {
    std::fflush(stdout);
    if (console.interactive)
        std::fprintf(stderr, "\r\nbmsim: %s\r\n", text.c_str());
    else
        std::fprintf(stderr, "bmsim: %s\n", text.c_str());
}

void show_escape_hint(const Console& console) {
    if (console.escape_key < 0)
        return notice(console, "the switch's console; no escape key: every key goes to the switch");
    std::string name = key_name(console.escape_key);
    notice(console, "the switch's console; " + name + " q stops the board, " + name + " ? lists the other keys");
}

bool parse_escape_key(const std::string& text, int* key) {
    if (text == "none")
        *key = -1;
    else if (text.size() == 1)
        *key = static_cast<unsigned char>(text[0]);
    else if (text.size() == 2 && text[0] == '^' && text[1] >= '?' && text[1] <= '_')
        *key = text[1] ^ 0x40;
    else
        return false;
    return true;
}
