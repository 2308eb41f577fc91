// bmsim boot: the simulated switch started up to the allowed power cycles, each start with a fresh
// console relayed to bmsim's terminal or standard streams, and recorded in the board log. The
// sandbox's command is sandbox_command.cpp's, the relay console_relay.cpp's, the reading of the
// log start_log.cpp's.
#include "sandbox.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console_relay.h"
#include "sandbox_command.h"
#include "start_log.h"

namespace fs = std::filesystem;

namespace {

struct TerminalMode {
    bool saved = false;
    termios original = {};
};

void enter_raw_mode(TerminalMode& mode) {
    if (tcgetattr(STDIN_FILENO, &mode.original) != 0) return;
    termios raw = mode.original;
    cfmakeraw(&raw);
    mode.saved = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

void restore_terminal(const TerminalMode& mode) {
    if (mode.saved) tcsetattr(STDIN_FILENO, TCSANOW, &mode.original);
}

bool open_console(Console& console, int* slave, std::string* slave_path) {
    winsize size = {24, 80, 0, 0};
    if (console.interactive) ioctl(STDIN_FILENO, TIOCGWINSZ, &size);
    char name[256];
    if (openpty(&console.master, slave, name, nullptr, &size) != 0) return false;
    fcntl(console.master, F_SETFD, FD_CLOEXEC);
    fcntl(console.master, F_SETFL, fcntl(console.master, F_GETFL) | O_NONBLOCK);
    *slave_path = name;
    console.master_open = true;
    return true;
}

struct StartResult {
    StartEnd end = StartEnd::EXITED;
    int status = 0;
    bool reboot = false;
    bool power_cut = false;
};

// The starts of --power-cycles N were used up by a reboot or a power cut: a status of its own.
int starts_used_up(const Console& console, const StartResult& result, int starts) {
    notice(console, std::string(result.power_cut ? "the power was cut" : "the switch rebooted") + "; " +
                        std::to_string(starts) + (starts == 1 ? " start was" : " starts were") + " allowed");
    return BOOT_STARTS_USED_UP;
}

// One power-on of the switch: a fresh console, /tmp and process tree on the same board.
StartResult run_start(const BootRun& run, int number, Console& console, Clock::time_point deadline) {
    StartResult result;
    append_log(run.board, "bmsim: start " + std::to_string(number));
    uintmax_t offset = log_size(run.board);
    int slave = -1;
    std::string slave_path;
    if (!open_console(console, &slave, &slave_path)) {
        std::fprintf(stderr, "bmsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        result.status = BOOT_NOT_STARTED << 8;
        append_log(run.board, "bmsim: start " + std::to_string(number) + " ended: no console");
        return result;
    }
    double ready_after = 0;
    bool usb = usb_stick_inserted(run.board, &ready_after);
    std::error_code ignored;
    if (usb) fs::create_directories(run.board + "/usb", ignored);
    std::vector<std::string> command =
        run.machine_command.empty() ? sandbox_command(run, slave_path, usb, ready_after) : run.machine_command;
    pid_t pid = start_sandbox(command, slave);
    close(slave);
    if (pid < 0) {
        result.status = BOOT_NOT_STARTED << 8;
    } else {
        result.end = relay_console(pid, console, deadline, run.timeout >= 0, &result.status);
    }
    end_transfer(console);
    // a transfer that ended with the board finishes its step; later texts may already be shown
    advance_console(console);
    close(console.master);
    StartRecord record = read_start_record(log_lines_since(run.board, offset));
    result.reboot = record.reboot;
    result.power_cut = !record.power_cut.empty();
    append_log(run.board, "bmsim: start " + std::to_string(number) +
                              " ended: " + describe_end(record, result.end, result.status, run.timeout));
    return result;
}

}  // namespace

std::string usb_state_path(const std::string& board) { return board + "/usb.inserted"; }

bool usb_stick_inserted(const std::string& board, double* ready_after) {
    std::ifstream state(usb_state_path(board));
    if (!state) return false;
    *ready_after = 0;
    state >> *ready_after;
    return true;
}

// A script whose step failed, or that the board's end or the time-out left unfinished, fails
// the run.
int script_outcome(const BootRun& run, const Console& console, StartEnd end, int exit_status) {
    if (!run.scripted || script_finished(console) || stop_signal != 0) return exit_status;
    if (end == StartEnd::EXITED && console.failure.empty() && script_only_waits(console)) return exit_status;
    std::string why = !console.failure.empty() ? console.failure
                      : end == StartEnd::TIMED_OUT
                          ? "not done within the time-out of " + format_number(run.timeout) + " s"
                          : "the board ended first";
    report_script_failure(console, run.script_name, why);
    return BOOT_SCRIPT_FAILED;
}

int boot_board(const BootRun& run) {
    Console console;
    console.interactive = !run.scripted && isatty(STDIN_FILENO) != 0;
    console.input_open = !run.scripted;
    console.escape_key = run.escape_key;
    if (run.scripted) console.script = &run.script;
    TerminalMode terminal;
    if (console.interactive) enter_raw_mode(terminal);
    if (console.interactive) show_escape_hint(console);
    catch_stop_signals();
    auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(std::max(0.0, run.timeout) * 1000));
    int exit_status = 0;
    bool power_was_cut = false;
    StartEnd end = StartEnd::EXITED;
    for (int number = 1; number <= run.power_cycles; ++number) {
        if (number > 1)
            notice(console, std::string(power_was_cut ? "the power comes back" : "the switch reboots") + ": start " +
                                std::to_string(number) + " of " + std::to_string(run.power_cycles));
        StartResult result = run_start(run, number, console, deadline);
        exit_status = exit_status_of(result.status);
        end = result.end;
        if (result.end == StartEnd::TIMED_OUT) {
            notice(console, "time-out after " + format_number(run.timeout) + " seconds: the board was stopped");
            exit_status = BOOT_TIMED_OUT;
            break;
        }
        if (result.end == StartEnd::STOPPED) {
            notice(console, "the board was stopped");
            exit_status = console.quit ? 0 : 128 + stop_signal;
            break;
        }
        power_was_cut = result.power_cut;
        if (!result.reboot && !result.power_cut) break;
        if (number == run.power_cycles && run.power_cycles_given) exit_status = starts_used_up(console, result, number);
    }
    restore_terminal(terminal);
    return script_outcome(run, console, end, exit_status);
}
