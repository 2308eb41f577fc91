// The console driver: `bmsim boot` with a console of the test's own, driven the way an operator
// at the switch's console would drive it.
#include "support/console_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

// Where the built tool is; the scenario build defines it.
#ifndef BMSIM_PATH
#define BMSIM_PATH "bmsim"
#endif

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::string quoted(const std::string& word) {
    std::string text = "'";
    for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

// Reads what the console shows within the time: 1 when it showed something, 0 when not, -1 once
// the other side is gone.
int read_console(ConsoleSession& session, double timeout_seconds) {
    if (session.master < 0) return -1;
    pollfd fd = {session.master, POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(std::max(0.0, timeout_seconds) * 1000));
    if (ready <= 0) return ready == 0 || errno == EINTR ? 0 : -1;
    char buffer[4096];
    ssize_t n = read(session.master, buffer, sizeof buffer);
    if (n > 0) session.output.append(buffer, static_cast<size_t>(n));
    return n > 0 ? 1 : n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

// What the console still holds once the process has ended.
void close_console(ConsoleSession& session) {
    while (read_console(session, 0.2) > 0) {}
    if (session.master >= 0) close(session.master);
    session.master = -1;
}

bool reaped_within(ConsoleSession& session, double seconds) {
    double deadline = now() + seconds;
    for (int status = 0; session.pid > 0;) {
        if (waitpid(session.pid, &status, WNOHANG) == session.pid) {
            session.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            session.pid = -1;
        } else if (now() >= deadline) {
            return false;
        } else if (read_console(session, 0.05) < 0) {  // bmsim must be able to write all it shows
            usleep(10000);
        }
    }
    return true;
}

}  // namespace

std::string new_board() {
    char pattern[] = "/tmp/bmsim-board-XXXXXX";
    if (!mkdtemp(pattern)) ADD_FAILURE() << "cannot make a board directory: " << std::strerror(errno);
    std::string output;
    if (run_bmsim({"new", pattern}, &output) != 0) ADD_FAILURE() << "bmsim new " << pattern << ": " << output;
    return pattern;
}

int run_command(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_bmsim(const std::vector<std::string>& args, std::string* output, const std::string& input) {
    std::string command = (input.empty() ? "" : "printf %s " + quoted(input) + " | ") + quoted(BMSIM_PATH);
    for (const auto& arg : args) command += " " + quoted(arg);
    return run_command(command + (input.empty() ? " </dev/null 2>&1" : " 2>&1"), output);
}

ConsoleSession start_boot(const std::string& dir, const std::vector<std::string>& args, Console console) {
    std::vector<std::string> words = {BMSIM_PATH, "boot", dir};
    words.insert(words.end(), args.begin(), args.end());
    return start_program(words, console);
}

ConsoleSession start_program(std::vector<std::string> words, Console console) {
    ConsoleSession session;
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int sockets[2] = {-1, -1};
    if (console == Console::socket) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) == 0 && (session.pid = fork()) == 0)
            for (int fd = 0; fd < 3; ++fd) dup2(sockets[1], fd);
        close(sockets[1]);
        session.master = sockets[0];
    } else {
        termios raw = {};
        cfmakeraw(&raw);
        winsize size = {24, 80, 0, 0};
        session.pid = forkpty(&session.master, nullptr, console == Console::raw_terminal ? &raw : nullptr, &size);
        if (session.pid > 0) fcntl(session.master, F_SETFD, FD_CLOEXEC);
    }
    if (session.pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (session.pid < 0) ADD_FAILURE() << "cannot start " << words[0] << ": " << std::strerror(errno);
    return session;
}

bool expect(ConsoleSession& session, const std::string& text, double timeout_seconds) {
    double deadline = now() + timeout_seconds;
    size_t found;
    while ((found = session.output.find(text, session.mark)) == std::string::npos)
        if (now() >= deadline || read_console(session, std::min(deadline - now(), 0.5)) < 0) return false;
    session.mark = found + text.size();
    return true;
}

void send_keys(ConsoleSession& session, const std::string& keys) {
    for (size_t sent = 0; session.master >= 0 && sent < keys.size();) {
        ssize_t n = write(session.master, keys.data() + sent, keys.size() - sent);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
    }
}

int wait_exit(ConsoleSession& session, double timeout_seconds) {
    if (!reaped_within(session, timeout_seconds)) {
        stop_session(session);
        return -1;
    }
    close_console(session);
    return session.exit_status;
}

void stop_session(ConsoleSession& session) {
    if (session.pid > 0) kill(session.pid, SIGTERM);
    if (!reaped_within(session, 5)) {
        kill(session.pid, SIGKILL);
        reaped_within(session, 5);
    }
    close_console(session);
}

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<uint8_t> read_binary_file(const std::string& path) {
    std::string text = read_text_file(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}
