// The console driver: `bmsim boot` on a pseudo-terminal of the test's own, driven the way an
// operator at the switch's console would drive it.
#include "support/console_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

// Where the built tools are; the scenario build defines both.
#ifndef BMSIM_PATH
#define BMSIM_PATH "bmsim"
#endif
#ifndef BMIMAGE_PATH
#define BMIMAGE_PATH "bmimage"
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> argv_of(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int exit_status_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// A tool run with no console: standard input empty, standard output and error captured together.
int run_tool(const std::string& program, const std::vector<std::string>& args, std::string* output) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    std::vector<char*> argv = argv_of(program, args);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(pipe_fds[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    if (output) *output = text;
    return exit_status_of(status);
}

double seconds_left(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// Reads what the console shows within the time; false once bmsim's side of it is gone.
bool read_console(ConsoleSession& session, double timeout_seconds) {
    if (session.master < 0) return false;
    pollfd fd = {session.master, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(std::max(0.0, timeout_seconds) * 1000));
    if (ready <= 0) return ready == 0 || errno == EINTR;
    char buffer[4096];
    ssize_t n = read(session.master, buffer, sizeof buffer);
    if (n > 0) {
        session.output.append(buffer, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

// What the console still holds once bmsim has ended.
void drain_console(ConsoleSession& session) {
    char buffer[4096];
    while (session.master >= 0) {
        pollfd fd = {session.master, POLLIN, 0};
        if (poll(&fd, 1, 200) <= 0) return;
        ssize_t n = read(session.master, buffer, sizeof buffer);
        if (n <= 0) return;
        session.output.append(buffer, static_cast<size_t>(n));
    }
}

// The temporary boards go when the tests end, unless BMSIM_KEEP_BOARDS is set to look at them.
struct TemporaryBoards {
    std::vector<std::string> dirs;
    ~TemporaryBoards() {
        if (std::getenv("BMSIM_KEEP_BOARDS")) return;
        std::error_code error;
        for (const auto& dir : dirs) std::filesystem::remove_all(dir, error);
    }
};

TemporaryBoards temporary_boards;

void close_console(ConsoleSession& session) {
    if (session.master >= 0) close(session.master);
    session.master = -1;
}

bool reap(ConsoleSession& session, int options) {
    int status = 0;
    if (session.pid <= 0 || waitpid(session.pid, &status, options) != session.pid) return false;
    session.exit_status = exit_status_of(status);
    session.pid = -1;
    return true;
}

}  // namespace

std::string new_board() {
    char pattern[] = "/tmp/bmsim-board-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir) {
        ADD_FAILURE() << "cannot make a temporary board directory: " << std::strerror(errno);
        return "";
    }
    temporary_boards.dirs.push_back(dir);
    std::string output;
    int status = run_bmsim({"new", dir}, &output);
    if (status != 0) ADD_FAILURE() << "bmsim new " << dir << " failed (" << status << "): " << output;
    return dir;
}

int run_bmsim(const std::vector<std::string>& args, std::string* output) {
    return run_tool(BMSIM_PATH, args, output);
}

int run_bmimage(const std::vector<std::string>& args, std::string* output) {
    return run_tool(BMIMAGE_PATH, args, output);
}

// The test's side of the terminal is raw from the start, so that keys sent before bmsim has
// set it up reach the console unchanged.
ConsoleSession start_boot(const std::string& dir, const std::vector<std::string>& args) {
    ConsoleSession session;
    std::vector<std::string> boot_args = {"boot", dir};
    boot_args.insert(boot_args.end(), args.begin(), args.end());
    std::string program = BMSIM_PATH;
    std::vector<char*> argv = argv_of(program, boot_args);
    termios raw = {};
    cfmakeraw(&raw);
    winsize size = {24, 80, 0, 0};
    session.pid = forkpty(&session.master, nullptr, &raw, &size);
    if (session.pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (session.pid < 0) {
        ADD_FAILURE() << "cannot start bmsim on a pseudo-terminal: " << std::strerror(errno);
        session.master = -1;
        return session;
    }
    fcntl(session.master, F_SETFD, FD_CLOEXEC);
    return session;
}

bool expect(ConsoleSession& session, const std::string& text, double timeout_seconds) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
    for (;;) {
        size_t found = session.output.find(text, session.mark);
        if (found != std::string::npos) {
            session.mark = found + text.size();
            return true;
        }
        double left = seconds_left(deadline);
        if (left <= 0 || !read_console(session, std::min(left, 0.5))) return false;
    }
}

void send_keys(ConsoleSession& session, const std::string& keys) {
    size_t sent = 0;
    while (session.master >= 0 && sent < keys.size()) {
        ssize_t n = write(session.master, keys.data() + sent, keys.size() - sent);
        if (n > 0) sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
    }
}

int wait_exit(ConsoleSession& session, double timeout_seconds) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
    while (session.pid > 0) {
        if (reap(session, WNOHANG)) break;
        if (seconds_left(deadline) <= 0) {
            stop_session(session);
            return -1;
        }
        // bmsim must be able to write all it shows, or it would never end.
        if (!read_console(session, 0.05)) usleep(10000);
    }
    drain_console(session);
    close_console(session);
    return session.exit_status;
}

// SIGTERM lets bmsim stop the board and record the stop; SIGKILL if it does not end in time.
void stop_session(ConsoleSession& session) {
    if (session.pid > 0) {
        kill(session.pid, SIGTERM);
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!reap(session, WNOHANG) && seconds_left(deadline) > 0) read_console(session, 0.05);
        if (session.pid > 0) {
            kill(session.pid, SIGKILL);
            reap(session, 0);
        }
    }
    drain_console(session);
    close_console(session);
}

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One read of the whole file: flash partitions and large images are read often.
std::vector<uint8_t> read_binary_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}
