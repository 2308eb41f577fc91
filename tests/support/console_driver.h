// Drives a program the way an operator at the switch's console would: started with a console of
// the test's own, keys sent to it, texts awaited with a time-out. Also the files and shell
// commands the tests use.
#pragma once
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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::string read_text_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}
inline std::vector<uint8_t> read_binary_file(const std::string& path) {
    std::string text = read_text_file(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}
inline void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (!(std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end())))
        ADD_FAILURE() << "cannot write " << path;
}

// A new empty folder in /tmp whose name starts with the prefix.
inline std::string temp_dir(const std::string& prefix) {
    std::string path = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(path.data())) ADD_FAILURE() << "cannot make " << path << ": " << std::strerror(errno);
    return path;
}

// Runs a shell command; returns its exit status (-1 when it did not end normally), and its
// standard output in *output when given.
inline int run_command(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct ConsoleSession {
    int master = -1;     // the test's side of the console
    pid_t pid = -1;      // the process on the other side
    std::string output;  // everything the console has shown so far
    size_t mark = 0;     // expect() searches from here on
    int exit_status = -1;
    bool closed = false;  // the other side has gone
    double started = now();
    std::vector<std::pair<double, size_t>> arrivals;  // each read's seconds since the start and offset

    // Starts the program (found on PATH) with its standard input, output and error on the test's
    // side of a new console: a socket, whose bytes bmsim relays as they are, or a pseudo-terminal
    // with the default settings.
    static ConsoleSession start(std::vector<std::string> words, bool on_terminal = false) {
        ConsoleSession session;
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        int sockets[2] = {-1, -1};
        if (!on_terminal) {
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
    // Waits until text appears after the mark and moves the mark past it. False on time-out or
    // when the session ends first.
    bool expect(const std::string& text, double timeout_seconds) {
        double deadline = now() + timeout_seconds;
        size_t found;
        while ((found = output.find(text, mark)) == std::string::npos)
            if (now() >= deadline || read(std::min(deadline - now(), 0.5)) < 0) return false;
        mark = found + text.size();
        return true;
    }
    void send(const std::string& keys) {
        for (size_t sent = 0; master >= 0 && sent < keys.size();) {
            // a program gone from a socket fails the test, not the test program (SIGPIPE)
            ssize_t n = ::send(master, keys.data() + sent, keys.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) n = write(master, keys.data() + sent, keys.size() - sent);
            if (n < 0 && errno != EINTR) break;
            sent += size_t(std::max<ssize_t>(n, 0));
        }
    }
    // Waits for the process to end and returns its exit status; -1 on time-out (it is stopped).
    int wait_exit(double timeout_seconds) {
        if (reaped_within(timeout_seconds)) return exit_status;
        stop();
        return -1;
    }
    // The last reads of the console, one a line: the seconds since the start, then the bytes, with
    // those outside printable ASCII as \xHH.
    std::string last_reads(size_t count) const {
        std::string text;
        char piece[32];
        for (size_t i = arrivals.size() - std::min(count, arrivals.size()); i < arrivals.size(); ++i) {
            size_t end = i + 1 < arrivals.size() ? arrivals[i + 1].second : output.size();
            std::snprintf(piece, sizeof piece, "%9.3f s  ", arrivals[i].first);
            text += piece;
            for (size_t at = arrivals[i].second; at < end; ++at) {
                unsigned char c = static_cast<unsigned char>(output[at]);
                std::snprintf(piece, sizeof piece, c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02x", c);
                text += piece;
            }
            text += "\n";
        }
        return text;
    }
    // Ends the session at once: SIGTERM lets bmsim stop the board and record it, SIGKILL follows.
    void stop() {
        if (pid > 0) kill(pid, SIGTERM);
        if (!reaped_within(5)) {
            kill(pid, SIGKILL);
            reaped_within(5);
        }
    }

private:
    static double now() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    // Reads what the console shows within the time: 1 when it showed something, 0 when not, -1
    // once the other side is gone.
    int read(double timeout_seconds) {
        pollfd fd = {master, POLLIN, 0};
        if (master < 0) return closed = true, -1;
        if (poll(&fd, 1, int(std::max(0.0, timeout_seconds) * 1000)) <= 0) return 0;
        char buffer[4096];
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) arrivals.emplace_back(now() - started, output.size());
        if (n > 0) output.append(buffer, size_t(n));
        if (n > 0) return 1;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        closed = true;
        return -1;
    }
    // Reaps the process within the time, reading the console meanwhile (bmsim must be able to
    // write all it shows); once it has ended, takes what the console still holds and closes it.
    bool reaped_within(double seconds) {
        for (double deadline = now() + seconds; pid > 0;) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid = -1;
            } else if (now() >= deadline) {
                return false;
            } else if (read(0.05) < 0) {
                usleep(10000);
            }
        }
        while (read(0.2) > 0) {}
        if (master >= 0) close(master);
        master = -1;
        return true;
    }
};
