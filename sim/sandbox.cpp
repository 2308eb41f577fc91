// bmsim boot: the simulated switch. The real program runs in a private root made with
// bubblewrap; its console is a pseudo-terminal, relayed to bmsim's terminal or standard streams.
#include "sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Where the pieces sit inside the sandbox.
constexpr const char* PROGRAM_INSIDE = "/sbin/bootmanager";
constexpr const char* LAUNCHER_INSIDE = "/usr/lib/bmsim/bmsim-launch";
constexpr const char* DEVICES_INSIDE = "/usr/lib/bmsim/libbmsim_devices.so";
constexpr const char* RX_INSIDE = "/usr/lib/bmsim/rx";
constexpr const char* CTL_INSIDE = "/usr/lib/bmsim/bmctl";
constexpr const char* TTY_FLUSH_INSIDE = "/usr/lib/bmsim/libbmsim_tty_flush.so";
constexpr const char* HOST_BUSYBOX = "/bin/busybox";
constexpr const char* HOST_RX = "/usr/bin/rx";

// The busybox applets that imitate the switch's root file system, by folder.
const std::vector<std::pair<const char*, std::vector<const char*>>> BUSYBOX_APPLETS = {
    {"/bin", {"ash",  "cat",  "chmod", "cp",   "date",  "dd",    "df",    "echo", "false", "grep", "gunzip",
              "gzip", "kill", "ln",    "ls",   "mkdir", "mknod", "mv",    "ps",   "pwd",   "rm",   "rmdir",
              "sed",  "sh",   "sleep", "stty", "sync",  "tar",   "touch", "true", "uname", "zcat"}},
    {"/usr/bin", {"[",    "awk",  "basename", "cmp", "cut",    "dirname", "du",     "env",  "expr",
                  "find", "head", "hexdump",  "id",  "md5sum", "od",      "printf", "sort", "stat",
                  "tail", "tee",  "test",     "tr",  "uniq",   "wc",      "which",  "xargs"}},
};

using Args = std::vector<std::string>;

void add(Args& args, std::initializer_list<std::string> words) { args.insert(args.end(), words); }

// ---- the sandbox's command line ----

// Its own process, host, network and IPC name spaces, with bmsim-launch as its init; no
// capabilities, so that nothing inside can mount, reboot or reach the host even as root.
void add_isolation(Args& args) {
    add(args, {"--unshare-pid", "--unshare-ipc", "--unshare-net", "--unshare-uts", "--hostname", "switch", "--as-pid-1",
               "--die-with-parent", "--cap-drop", "ALL"});
}

// The host's shared libraries, read-only: the program, the emulator and the receiver are
// dynamically linked.
void add_host_libraries(Args& args) {
    const std::string arch = BMSIM_LIBRARY_ARCH;
    for (const char* top : {"/lib", "/lib64"}) {
        std::string usr = std::string("/usr") + top;
        if (fs::is_symlink(top)) {
            if (fs::exists(usr)) add(args, {"--symlink", usr.substr(1), top});
        } else if (fs::exists(top)) {
            add(args, {"--ro-bind", top, top});
        }
    }
    std::string multiarch = "/usr/lib/" + arch;
    if (fs::exists(multiarch)) add(args, {"--ro-bind", multiarch, multiarch});
    if (fs::exists("/usr/lib64")) add(args, {"--ro-bind", "/usr/lib64", "/usr/lib64"});
    add(args, {"--ro-bind-try", "/etc/ld.so.cache", "/etc/ld.so.cache"});
}

void add_busybox(Args& args) {
    add(args, {"--ro-bind", HOST_BUSYBOX, "/bin/busybox"});
    for (const auto& [folder, applets] : BUSYBOX_APPLETS)
        for (const char* applet : applets) add(args, {"--symlink", "/bin/busybox", std::string(folder) + "/" + applet});
}

// Every file under the stub folder lands at the same path inside.
void add_stubs(Args& args, const std::string& rootfs) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(rootfs))
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), rootfs).string());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) add(args, {"--ro-bind", rootfs + "/" + file, "/" + file});
    if (fs::exists(HOST_RX)) add(args, {"--ro-bind", HOST_RX, RX_INSIDE});
}

void add_program(Args& args, const SandboxPaths& paths) {
    add(args, {"--ro-bind", paths.program, PROGRAM_INSIDE, "--ro-bind", paths.launcher, LAUNCHER_INSIDE});
    if (!paths.tty_flush_lib.empty() && fs::exists(paths.tty_flush_lib))
        add(args, {"--ro-bind", paths.tty_flush_lib, TTY_FLUSH_INSIDE});
    if (!paths.devices_lib.empty()) add(args, {"--ro-bind", paths.devices_lib, DEVICES_INSIDE});
    if (!paths.ctl.empty() && fs::exists(paths.ctl)) add(args, {"--ro-bind", paths.ctl, CTL_INSIDE});
}

void add_board(Args& args, const BootRun& run, bool usb_inserted) {
    add(args, {"--bind", run.board, "/sim", "--bind", run.board + "/user", "/user"});
    if (usb_inserted)
        add(args, {"--bind", run.board + "/usb", "/mnt/usb"});
    else
        add(args, {"--dir", "/mnt/usb"});
}

std::string format_number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// DIR/memory-size (bytes): the memory the program may take, so that a large allocation can fail.
// The sanitizer runtime reserves more address space than any such limit, so a sanitizer build
// has its allocator refuse what is larger instead.
unsigned long long memory_size(const std::string& board) {
    std::ifstream size_file(board + "/memory-size");
    unsigned long long size = 0;
    return size_file >> size ? size : 0;
}

void add_environment(Args& args, const BootRun& run) {
    // A sanitizer build: the preloaded emulator comes before the sanitizer runtime, and the leak
    // check cannot stop the world inside the sandbox's process name space.
    std::string asan_options = "verify_asan_link_order=0:detect_leaks=0";
    if (unsigned long long size = memory_size(run.board); size > 0 && BMSIM_SANITIZER_BUILD)
        asan_options += ":allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(size >> 20);
    add(args, {"--clearenv",
               "--setenv",
               "PATH",
               "/bin:/sbin:/usr/bin:/usr/sbin",
               "--setenv",
               "HOME",
               "/",
               "--setenv",
               "TERM",
               "vt102",
               "--setenv",
               "BMSIM_BOARD",
               "/sim",
               "--setenv",
               "BMSIM_TIME_SCALE",
               format_number(run.time_scale),
               "--setenv",
               "ASAN_OPTIONS",
               asan_options,
               "--setenv",
               "UBSAN_OPTIONS",
               "print_stacktrace=1"});
}

// The switch's /tmp is a RAM file system; DIR/tmp-size (bytes) makes it that small, so that a
// write to it can run out of room.
void add_tmp(Args& args, const std::string& board) {
    std::ifstream size_file(board + "/tmp-size");
    unsigned long long size = 0;
    if (size_file >> size) add(args, {"--size", std::to_string(size)});
    add(args, {"--tmpfs", "/tmp"});
}

Args sandbox_command(const BootRun& run, const std::string& console, bool usb_inserted, double usb_ready_after) {
    Args args = {"bwrap"};
    add_isolation(args);
    add(args, {"--tmpfs", "/", "--dev", "/dev", "--dev-bind", console, "/dev/ttyS0", "--proc", "/proc"});
    add_tmp(args, run.board);
    add(args, {"--dir", "/bin", "--dir", "/sbin", "--dir", "/usr/bin", "--dir", "/usr/sbin", "--dir", "/etc"});
    add_host_libraries(args);
    add_busybox(args);
    add_stubs(args, run.paths.rootfs);
    add_program(args, run.paths);
    add_board(args, run, usb_inserted);
    add_environment(args, run);
    add(args, {"--chdir", "/", LAUNCHER_INSIDE});
    if (usb_inserted) add(args, {"--usb-ready-after", format_number(usb_ready_after)});
    if (!run.paths.devices_lib.empty()) add(args, {"--preload", DEVICES_INSIDE});
    if (unsigned long long size = memory_size(run.board); size > 0 && !BMSIM_SANITIZER_BUILD)
        add(args, {"--memory-size", std::to_string(size)});
    args.push_back(PROGRAM_INSIDE);
    return args;
}

// ---- one start of the switch ----

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) { stop_signal = sig; }

// Without SA_RESTART, so that the relay's poll ends at once.
void catch_stop_signals() {
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // SIGPIPE: whoever read the console went away.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &action, nullptr);
}

// The console session: the program's controlling terminal is the pseudo-terminal, which bwrap
// and the launcher inherit; the sandbox dies with bmsim.
pid_t start_sandbox(const Args& command, int slave) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(BOOT_NOT_STARTED);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    for (int fd = 0; fd < 3; ++fd) dup2(slave, fd);
    close_range(3, ~0U, 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    std::vector<char*> argv;
    for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "bmsim: cannot run bwrap: %s\n", std::strerror(errno));
    _exit(BOOT_NOT_STARTED);
}

enum class StartEnd { EXITED, TIMED_OUT, STOPPED };

// What the console still holds when the sandbox has ended.
void drain_output(Console& console) {
    while (console.master_open) {
        pollfd fd = {console.master, POLLIN, 0};
        if (poll(&fd, 1, 200) <= 0) return;
        relay_output(console);
    }
}

void stop_sandbox(pid_t pid, Console& console) {
    kill(pid, SIGKILL);
    drain_output(console);
}

int poll_interval_ms(Clock::time_point deadline, bool has_deadline) {
    int interval = 20;
    if (!has_deadline) return interval;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(interval, left)));
}

StartEnd relay_console(pid_t pid, Console& console, Clock::time_point deadline, bool has_deadline, int* status) {
    for (;;) {
        if (waitpid(pid, status, WNOHANG) == pid) {
            drain_output(console);
            return StartEnd::EXITED;
        }
        if (stop_signal != 0 || console.quit || !console.failure.empty()) {
            stop_sandbox(pid, console);
            waitpid(pid, status, 0);
            return StartEnd::STOPPED;
        }
        if (has_deadline && Clock::now() >= deadline) {
            stop_sandbox(pid, console);
            waitpid(pid, status, 0);
            return StartEnd::TIMED_OUT;
        }
        advance_console(console);
        pollfd fds[3] = {{console.master_open ? console.master : -1, POLLIN, 0},
                         {console.input_open ? STDIN_FILENO : -1, POLLIN, 0},
                         {transfer_socket(console), POLLIN, 0}};
        if (!console.pending.empty() && console.master_open) fds[0].events |= POLLOUT;
        if (poll(fds, 3, std::min(poll_interval_ms(deadline, has_deadline), console_wait_ms(console))) <= 0) continue;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) relay_output(console);
        if (fds[0].revents & POLLOUT) type_pending(console);
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) take_input(console);
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) relay_transfer(console);
    }
}

// ---- the board log ----

std::string log_path(const std::string& board) { return board + "/log"; }

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

std::string program_name(const std::string& line) {
    std::string first = line.substr(0, line.find(' '));
    return first.substr(first.rfind('/') + 1);
}

struct StartRecord {
    std::string launch;  // how the application was last launched, if it was
    bool reboot = false;
    std::string power_cut;  // the device emulator's "power cut after ..." line, if it cut
};

StartRecord read_start_record(const std::vector<std::string>& lines) {
    StartRecord record;
    for (const auto& line : lines) {
        std::string name = program_name(line);
        if (name == "backtrace") record.launch = "application launched by /bin/backtrace";
        if (name == "gdbserver") record.launch = "application run under /bin/gdbserver";
        if (name == "reboot" || line == "init: reboot requested") record.reboot = true;
        if (line.starts_with("power cut after ")) record.power_cut = line;
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
    else
        parts.push_back("exit status " + std::to_string(exit_status_of(status)));
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

// ---- the terminal of an interactive run ----

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
    Args command =
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
    }
    restore_terminal(terminal);
    return script_outcome(run, console, end, exit_status);
}
