// The board log around each start: bmsim's start and end lines, and what the switch's programs
// recorded in between.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "console_relay.h"

void append_log(const std::string& board, const std::string& line);
// Where the log ends now, and its lines from such a point on.
uintmax_t log_size(const std::string& board);
std::vector<std::string> log_lines_since(const std::string& board, uintmax_t offset);

struct StartRecord {
    std::string launch;  // how the application was last launched, if it was
    bool reboot = false;
    std::string power_cut;  // the device emulator's "power cut after ..." line, if it cut
    std::string signal;     // init's "program killed by signal N" line, if it was
};

// What one start's lines say: the application's launch, a reboot, a power cut.
StartRecord read_start_record(const std::vector<std::string>& lines);
// bmsim's exit status for a wait status: the exit status, or 128+N after signal N.
int exit_status_of(int status);
// The end line's text: "application launched by /bin/backtrace, exit status 0".
std::string describe_end(const StartRecord& record, StartEnd end, int status, double timeout);
