// Drives the simulated board the way an operator would: `bmsim boot` on a pseudo-terminal,
// keys sent to the console, texts awaited with a time-out.
#pragma once
#include <sys/types.h>
#include <string>
#include <vector>

// Runs a shell command; returns its exit status (-1 when it did not end normally), and its
// standard output in *output when given.
int run_command(const std::string& command, std::string* output = nullptr);
// Runs bmsim with no input; returns the exit status, and its standard output and error together
// in *output when given.
int run_bmsim(const std::vector<std::string>& args, std::string* output = nullptr);

struct ConsoleSession {
    int master = -1;     // the test's side of the console
    pid_t pid = -1;      // the process on the other side
    std::string output;  // everything the console has shown so far
    size_t mark = 0;     // expect() searches from here on
    int exit_status = -1;
};

// The test's side of the console: a socket, whose bytes bmsim relays as they are, or a
// pseudo-terminal with the default settings.
enum class Console { socket, terminal };
// Starts the program (found on PATH) with its standard input, output and error on a new
// pseudo-terminal or socket.
ConsoleSession start_program(std::vector<std::string> words, Console console);
// Waits until text appears after the mark and moves the mark past it. False on time-out or
// when the session ends first.
bool expect(ConsoleSession& session, const std::string& text, double timeout_seconds);
void send_keys(ConsoleSession& session, const std::string& keys);
// Waits for the process to end and returns its exit status; -1 on time-out (it is stopped).
int wait_exit(ConsoleSession& session, double timeout_seconds);
// Ends the session at once: SIGTERM lets bmsim stop the board and record it, SIGKILL follows.
void stop_session(ConsoleSession& session);

std::string read_text_file(const std::string& path);
std::vector<uint8_t> read_binary_file(const std::string& path);
void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes);
