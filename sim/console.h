// The switch's console as bmsim relays it: keys from a terminal (with bmsim's own escape key),
// from standard input or from a script of steps, and files sent with XMODEM-1K by lrzsz's sx.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <istream>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

// One line of a console script.
enum class StepKind { EXPECT, SEND, SENDFILE, SLEEP, STOP };
struct ScriptStep {
    StepKind kind = StepKind::SEND;
    std::string text;  // the awaited or typed text (escapes resolved), or the file to send
    double seconds = 0;
    int line = 0;
    std::string source;  // the line as written
};

// Reads a script; on a malformed line returns false with "NAME:LINE: why" in *error.
bool parse_script(std::istream& in, const std::string& name, std::vector<ScriptStep>* steps, std::string* error);

// lrzsz's sender at work, talking to the console through a socket pair.
struct Transfer {
    pid_t pid = -1;  // running while positive
    int socket = -1;
    std::string file;
    std::string held;  // the sender's bytes, held back until the console has been quiet a moment
    Clock::time_point held_until;
    unsigned long long size = 0;        // the file's
    unsigned long long bytes_sent = 0;  // by the sender, frames included
    bool receiver_asked = false;        // the sender has had the receiver's first request
    Clock::time_point started, first_request, last_progress;
    std::string ended_why;  // why bmsim stopped the sender, if it did
};

struct Console {
    int master = -1;
    bool interactive = false;
    bool input_open = true;   // standard input may still deliver keys
    bool master_open = true;  // some process inside still holds the console
    std::string pending;      // bytes not yet taken by the console
    std::string shown;        // everything the console showed in this run, for the script
    // the escape key on a terminal: Ctrl-] by default, -1 for none
    int escape_key = 0x1D;
    bool escaped = false;
    bool asking_file = false;
    std::string file_name;
    bool quit = false;
    // the script
    const std::vector<ScriptStep>* script = nullptr;
    size_t step = 0;
    size_t mark = 0;            // an expect searches from here on
    bool step_started = false;  // the current sleep or sendfile is under way
    Clock::time_point sleep_until;
    std::string failure;  // why the current step failed
    Transfer transfer;
};

void relay_output(Console& console);
void take_input(Console& console);
void type_pending(Console& console);
// The sending of a file (send_file.cpp). start_transfer reports why it could not start.
bool start_transfer(Console& console, const std::string& file, std::string* error);
// The console's output, which the sender reads for the receiver's requests.
void pass_to_sender(Console& console, const char* bytes, size_t size);
// The sender's socket while it runs; -1 otherwise.
int transfer_socket(const Console& console);
void relay_transfer(Console& console);
// Lets the sender's held bytes go, gives up on a receiver that never asks, shows the progress.
void advance_transfer(Console& console);
void cancel_transfer(Console& console);
// Starts the script's steps that are due and lets the sender's held bytes go; called on every
// turn.
void advance_console(Console& console);
// How long the console may wait for its next event before advance_console is due again.
int console_wait_ms(const Console& console);
// Stops the sender, if one is running, at the end of a start.
void end_transfer(Console& console);
bool script_finished(const Console& console);
// Only sleeps are left: a board that ends meanwhile has not cut the script short.
bool script_only_waits(const Console& console);
// The current step and the console's last lines, after a failure.
void report_script_failure(const Console& console, const std::string& script_name, const std::string& why);

// bmsim's own notices share the console's terminal, raw when interactive.
void notice(const Console& console, const std::string& text);
void show_escape_hint(const Console& console);
// The escape key as the user gives it: one character, ^X for a control key, or "none" (-1).
bool parse_escape_key(const std::string& text, int* key);
