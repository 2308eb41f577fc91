// The console driver: programs started with a console of the test's own, driven the way an
// operator at the switch's console would drive it.
#include "support/console_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

// Where the built tool is; the scenario build defines it.
#ifndef BMSIM_PATH
#define BMSIM_PATH "bmsim"
#endif

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Reads what the console shows within the time: 1 when it showed something, 0 when not, -1 once
// the other side is gone.
int read_console(ConsoleSession& session, double timeout_seconds) {
    if (session.master < 0) return -1;
    pollfd fd = {session.master, POLLIN, 0};
    int ready = poll(&fd, 1, int(std::max(0.0, timeout_seconds) * 1000));
    if (ready <= 0) return ready == 0 || errno == EINTR ? 0 : -1;
    char buffer[4096];
    ssize_t n = read(session.master, buffer, sizeof buffer);
    if (n > 0) session.output.append(buffer, size_t(n));
    return n > 0 ? 1 : n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

// Reaps the process within the time, reading the console meanwhile (bmsim must be able to write
// all it shows); once it has ended, takes what the console still holds and closes it.
bool reaped_within(ConsoleSession& session, double seconds) {
    for (double deadline = now() + seconds; session.pid > 0;) {
        int status = 0;
        if (waitpid(session.pid, &status, WNOHANG) == session.pid) {
            session.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            session.pid = -1;
        } else if (now() >= deadline) {
            return false;
        } else if (read_console(session, 0.05) < 0) {
            usleep(10000);
        }
    }
    while (read_console(session, 0.2) > 0) {}
    if (session.master >= 0) close(session.master);
    session.master = -1;
    return true;
}

}  // namespace

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

int run_bmsim(const std::vector<std::string>& args, std::string* output) {
    std::string command = BMSIM_PATH;
    for (std::string arg : args) {
        for (size_t at = 0; (at = arg.find('\'', at)) != std::string::npos; at += 4) arg.replace(at, 1, "'\\''");
        command += " '" + arg + "'";
    }
    return run_command(command + " </dev/null 2>&1", output);
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
    } else if ((session.pid = forkpty(&session.master, nullptr, nullptr, nullptr)) > 0) {
        fcntl(session.master, F_SETFD, FD_CLOEXEC);
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
            sent += size_t(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
    }
}

int wait_exit(ConsoleSession& session, double timeout_seconds) {
    if (reaped_within(session, timeout_seconds)) return session.exit_status;
    stop_session(session);
    return -1;
}

void stop_session(ConsoleSession& session) {
    if (session.pid > 0) kill(session.pid, SIGTERM);
    if (!reaped_within(session, 5)) {
        kill(session.pid, SIGKILL);
        reaped_within(session, 5);
    }
}

std::string read_text_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<uint8_t> read_binary_file(const std::string& path) {
    std::string text = read_text_file(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (!(std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end())))
        ADD_FAILURE() << "cannot write " << path;
}
