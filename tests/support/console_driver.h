// Drives the simulated board the way an operator would: `bmsim boot` on a pseudo-terminal,
// keys sent to the console, texts awaited with a time-out.
#pragma once
#include <sys/types.h>
#include <string>
#include <vector>

// A fresh board in a new temporary directory (made with `bmsim new`); returns its path.
std::string new_board();
// Runs bmsim or bmimage without a console; returns the exit status, output (stdout and stderr
// together) in *output when given.
int run_bmsim(const std::vector<std::string>& args, std::string* output = nullptr);
int run_bmimage(const std::vector<std::string>& args, std::string* output = nullptr);

struct ConsoleSession {
    int master = -1;      // the test's side of the console pseudo-terminal
    pid_t pid = -1;       // the `bmsim boot` process
    std::string output;   // everything the console has shown so far
    size_t mark = 0;      // expect() searches from here on
    int exit_status = -1;
};

// Starts `bmsim boot DIR ARGS...` on a new pseudo-terminal.
ConsoleSession start_boot(const std::string& dir, const std::vector<std::string>& args = {});
// Waits until text appears after the mark and moves the mark past it. False on time-out or
// when the session ends first.
bool expect(ConsoleSession& session, const std::string& text, double timeout_seconds = 10);
void send_keys(ConsoleSession& session, const std::string& keys);
// Waits for bmsim to end and returns its exit status; -1 on time-out (the session is killed).
int wait_exit(ConsoleSession& session, double timeout_seconds = 60);
// Ends the session at once (kills bmsim and the board).
void stop_session(ConsoleSession& session);

std::string read_text_file(const std::string& path);
std::vector<uint8_t> read_binary_file(const std::string& path);
void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes);
