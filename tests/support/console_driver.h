// Drives the simulated board the way an operator would: `bmsim boot` on a pseudo-terminal,
// keys sent to the console, texts awaited with a time-out.
#pragma once
#include <sys/types.h>
#include <string>
#include <vector>

// A fresh board in a new temporary directory (made with `bmsim new`); returns its path.
std::string new_board();
// Runs a shell command; returns its exit status (-1 when it did not end normally), and its
// standard output in *output when given.
int run_command(const std::string& command, std::string* output = nullptr);
// Runs bmsim with the input typed on its standard input (none when empty); returns the exit
// status, and its standard output and error together in *output when given.
int run_bmsim(const std::vector<std::string>& args, std::string* output = nullptr, const std::string& input = "");

struct ConsoleSession {
    int master = -1;     // the test's side of the console
    pid_t pid = -1;      // the `bmsim boot` process
    std::string output;  // everything the console has shown so far
    size_t mark = 0;     // expect() searches from here on
    int exit_status = -1;
};

// The test's side of the console: a raw pseudo-terminal (keys reach the console unchanged even
// before bmsim sets it up), one with the default settings, or a socket that bmsim relays as is.
enum class Console { raw_terminal, terminal, socket };
// Starts the program (found on PATH) with its standard input, output and error on a new
// pseudo-terminal or socket; start_boot starts `bmsim boot DIR ARGS...` so.
ConsoleSession start_program(std::vector<std::string> words, Console console);
ConsoleSession start_boot(const std::string& dir, const std::vector<std::string>& args = {},
                          Console console = Console::raw_terminal);
// Waits until text appears after the mark and moves the mark past it. False on time-out or
// when the session ends first.
bool expect(ConsoleSession& session, const std::string& text, double timeout_seconds = 10);
void send_keys(ConsoleSession& session, const std::string& keys);
// Waits for the process to end and returns its exit status; -1 on time-out (it is stopped).
int wait_exit(ConsoleSession& session, double timeout_seconds = 60);
// Ends the session at once: SIGTERM lets bmsim stop the board and record it, SIGKILL follows.
void stop_session(ConsoleSession& session);

std::string read_text_file(const std::string& path);
std::vector<uint8_t> read_binary_file(const std::string& path);
void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes);
