// bmsim boot: the board's pieces found, the run's options read, and the board booted.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "bmsim_command.h"
#include "machine/machine.h"
#include "pieces.h"
#include "sandbox.h"

namespace fs = std::filesystem;

// ---- boot ----

std::string boot_help() {
    bool machine = machine_available();
    return std::string(
               "usage: bmsim boot DIR [--timeout SECONDS] [--power-cycles N] [--time-scale F] [--program PATH]\n"
               "                      [--script FILE] [--escape CHAR|none]") +
           (machine ? " [--machine qemu]" : "") +
           "\n"
           "\n"
           "Boots the board: the real program runs in a sandbox that imitates the switch, with its console\n"
           "on this terminal. On a terminal the console is interactive: every key goes to the switch\n"
           "(Ctrl-C, Ctrl-Z and Ctrl-\\ too) but the escape key Ctrl-], which is followed by q (stop the\n"
           "board), s (send a file with XMODEM-1K), c (cancel the file being sent), b (send a break,\n"
           "Ctrl-C), Ctrl-] (send Ctrl-]) or ? (list these). Otherwise standard input is typed on the\n"
           "console as it comes, and after it ends the console waits with no further input. The board\n"
           "stops when the program ends, at the time-out, or when bmsim gets SIGTERM, SIGINT or SIGHUP.\n"
           "One run at a time boots a board.\n"
           "\n"
           "  --timeout SECONDS  stop the board after SECONDS of real time (all starts together)\n"
           "  --power-cycles N   start the program again after each reboot of the switch or power cut of\n"
           "                     the faults file, up to N starts (default 1)\n"
           "  --time-scale F     scale the program's own sleeps and waits by F (0.1: ten times faster,\n"
           "                     0: no waiting)\n"
           "  --program PATH     the program to boot instead of the built one (also BMSIM_PROGRAM)\n"
           "  --script FILE      drive the console with the steps of FILE ('-': standard input), one a line:\n"
           "                       expect TEXT      wait (up to the time-out) until TEXT follows the last match\n"
           "                       send TEXT        type TEXT; \\r \\n \\t \\\\ \\xHH as in C (in expect too)\n"
           "                       sendfile PATH    send PATH with XMODEM-1K (lrzsz's sx -k)\n"
           "                       sleep SECONDS    wait (the board may end meanwhile)\n"
           "                       stop             stop the board; the run ends with status 0\n"
           "                     and # comments. After the last step the console waits with no input.\n"
           "  --escape CHAR      the escape key instead of Ctrl-]: one character, or ^X for Ctrl-X;\n"
           "                     'none' passes every byte to the switch\n" +
           (machine ? "  --machine qemu     boot a virtual machine of the switch: the target program on a real\n"
                      "                     kernel's drivers (the build's target 'machine' makes it); the default\n"
                      "                     'sandbox' is the device emulator\n"
                    : "") +
           "\n"
           "Exit status: that of the program's last start (128+N when killed by signal N), 0 when stopped\n"
           "with Ctrl-] q or a script's stop, 3 when a script step failed (an expect not met, a file not\n"
           "sent), 4 when the last of --power-cycles N starts ended in a reboot or a power cut, 124 at\n"
           "the time-out, 125 when the board could not be started (or another run boots it), 128+N\n"
           "when bmsim itself was stopped by signal N. Each start is recorded in DIR/log (see\n"
           "'bmsim log').\n";
}

static SandboxPaths default_paths() {
    SandboxPaths paths;
    paths.program = piece_path("BMSIM_PROGRAM", BMSIM_DEFAULT_PROGRAM);
    paths.ctl = piece_path("BMSIM_CTL", BMSIM_DEFAULT_CTL);
    paths.devices_lib = piece_path("BMSIM_DEVICES_LIB", BMSIM_DEFAULT_DEVICES_LIB);
    paths.tty_flush_lib = piece_path("BMSIM_TTY_FLUSH_LIB", BMSIM_DEFAULT_TTY_FLUSH_LIB);
    paths.launcher = piece_path("BMSIM_LAUNCHER", BMSIM_DEFAULT_LAUNCHER);
    paths.rootfs = piece_path("BMSIM_ROOTFS", BMSIM_DEFAULT_ROOTFS);
    return paths;
}

static int read_script(const std::string& file, BootRun* run) {
    std::ifstream opened;
    if (file != "-") {
        std::error_code error;
        bool directory = fs::is_directory(file, error);
        if (!directory) opened.open(file);
        if (directory || !opened) {
            failure("boot", "cannot read '" + file + "': " + (directory ? "Is a directory" : std::strerror(errno)));
            return BOOT_NOT_STARTED;
        }
    }
    std::string error;
    run->script_name = file == "-" ? "standard input" : file;
    run->scripted = true;
    run->script.clear();
    if (!parse_script(file == "-" ? std::cin : opened, run->script_name, &run->script, &error))
        return usage_error("boot", error);
    return 0;
}

static int parse_boot_options(const Arguments& arguments, BootRun* run) {
    for (const auto& [option, value] : arguments.options) {
        uint32_t cycles = 0;
        if (option == "timeout") {
            if (!parse_seconds(value, &run->timeout) || run->timeout <= 0)
                return usage_error("boot", "--timeout '" + value + "' is not a positive number of seconds");
        } else if (option == "power-cycles") {
            if (!parse_number(value, 1000000, &cycles) || cycles < 1)
                return usage_error("boot", "--power-cycles '" + value + "' is not a number of starts from 1 on");
            run->power_cycles = static_cast<int>(cycles);
            run->power_cycles_given = true;
        } else if (option == "time-scale") {
            if (!parse_seconds(value, &run->time_scale))
                return usage_error("boot", "--time-scale '" + value + "' is not a factor of 0 or more");
        } else if (option == "program") {
            run->paths.program = value;
        } else if (option == "escape") {
            if (!parse_escape_key(value, &run->escape_key))
                return usage_error("boot", "--escape '" + value + "' is neither one character, ^X nor 'none'");
        } else if (option == "machine") {
            if (value != "sandbox" && value != "qemu")
                return usage_error("boot", "--machine '" + value + "' is neither 'sandbox' nor 'qemu'");
            run->machine = value == "qemu" ? value : "";
        } else if (int status = read_script(value, run); status != 0) {
            return status;
        }
    }
    return 0;
}

bool machine_available() {
    std::error_code error;
    return fs::is_regular_file(machine_pieces().dir + "/vmlinux", error);
}

// The sandbox binds these paths, so they must exist and be absolute.
static bool locate(const char* what, std::string* path, bool directory) {
    std::error_code error;
    bool found = directory ? fs::is_directory(*path, error) : fs::is_regular_file(*path, error);
    if (!found) {
        std::fprintf(stderr, "bmsim boot: %s '%s' not found\n", what, path->c_str());
        return false;
    }
    *path = fs::absolute(*path).lexically_normal().string();
    return true;
}

static bool locate_pieces(BootRun* run) {
    SandboxPaths& paths = run->paths;
    std::string busybox = "/bin/busybox";
    return locate("program", &paths.program, false) && locate("launcher", &paths.launcher, false) &&
           (paths.devices_lib.empty() || locate("device emulator", &paths.devices_lib, false)) &&
           locate("stub folder", &paths.rootfs, true) && locate("busybox", &busybox, false);
}

// One run at a time per board: two would share its flash, EEPROM and log. The lock is held on
// DIR/boot.lock, which names the running bmsim, until this process ends.
static bool lock_board(const std::string& board) {
    std::string path = board + "/boot.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return failure("boot", "cannot open '" + path + "': " + std::strerror(errno)), false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        ssize_t n = pread(fd, holder, sizeof holder - 1, 0);
        std::string pid = n > 0 ? std::string(holder, static_cast<size_t>(n)) : "";
        pid = pid.substr(0, pid.find('\n'));
        failure("boot", "the board '" + board + "' is already booting (bmsim boot, process " +
                            (pid.empty() ? "unknown" : pid) + ")");
        close(fd);
        return false;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0)
        return failure("boot", "cannot write '" + path + "': " + std::strerror(errno)), false;
    return true;
}

int run_boot(const Arguments& arguments) {
    const std::vector<std::string>& args = arguments.operands;
    if (args.size() != 1) return usage_error("boot", "expects one board directory");
    BootRun run;
    run.paths = default_paths();
    if (int status = parse_boot_options(arguments, &run); status != 0) return status;
    if (!is_board(args[0])) {
        failure("boot", not_a_board(args[0]));
        return BOOT_NOT_STARTED;
    }
    run.board = fs::absolute(args[0]).lexically_normal().string();
    if (run.board.size() > 1 && run.board.back() == '/') run.board.pop_back();
    MachinePieces machine = machine_pieces();
    if (run.machine.empty() ? !locate_pieces(&run) : !locate_machine(&machine)) return BOOT_NOT_STARTED;
    if (!run.machine.empty()) run.machine_command = machine_command(run.board, machine);
    if (!lock_board(run.board)) return BOOT_NOT_STARTED;
    return boot_board(run);
}
