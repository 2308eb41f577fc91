// The board log as bmsim keeps it around each start: the start's line, what the switch's
// programs recorded during it, and the line that says how it ended.
#include "start_log.h"

#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "sandbox_command.h"

namespace fs = std::filesystem;

namespace {

std::string log_path(const std::string& board) { return board + "/log"; }

}  // namespace

void append_log(const std::string& board, const std::string& line) {
    std::ofstream log(log_path(board), std::ios::app);
    log << line << '\n';
}

uintmax_t log_size(const std::string& board) {
    std::error_code error;
    uintmax_t size = fs::file_size(log_path(board), error);
    return error ? 0 : size;
}

// What the switch's programs recorded since the given point of the log.
std::vector<std::string> log_lines_since(const std::string& board, uintmax_t offset) {
    std::ifstream log(log_path(board));
    log.seekg(static_cast<std::streamoff>(offset));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

namespace {

std::string program_name(const std::string& line) {
    std::string first = line.substr(0, line.find(' '));
    return first.substr(first.rfind('/') + 1);
}

}  // namespace

StartRecord read_start_record(const std::vector<std::string>& lines) {
    StartRecord record;
    for (const auto& line : lines) {
        std::string name = program_name(line);
        if (name == "backtrace") record.launch = "application launched by /bin/backtrace";
        if (name == "gdbserver") record.launch = "application run under /bin/gdbserver";
        if (name == "reboot" || line == "init: reboot requested") record.reboot = true;
        if (line.starts_with("power cut after ")) record.power_cut = line;
        if (line.starts_with("init: program killed by signal ")) record.signal = line.substr(line.find("killed"));
    }
    return record;
}

int exit_status_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return BOOT_NOT_STARTED;
}

std::string describe_end(const StartRecord& record, StartEnd end, int status, double timeout) {
    std::vector<std::string> parts;
    if (!record.launch.empty()) parts.push_back(record.launch);
    if (record.reboot) parts.push_back("reboot requested");
    if (!record.power_cut.empty()) parts.push_back(record.power_cut);
    if (end == StartEnd::TIMED_OUT)
        parts.push_back("time-out after " + format_number(timeout) + " s, stopped");
    else if (end == StartEnd::STOPPED)
        parts.push_back("stopped");
    else if (WIFSIGNALED(status))
        parts.push_back("killed by signal " + std::to_string(WTERMSIG(status)));
    else if (!record.signal.empty())
        parts.push_back(record.signal);
    else
        parts.push_back("exit status " + std::to_string(exit_status_of(status)));
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}
