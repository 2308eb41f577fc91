// One start's process and its console: the command started on the pseudo-terminal, and the
// relay of the console both ways until the start ends, is stopped or reaches the time-out.
#include "console_relay.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sandbox.h"

volatile sig_atomic_t stop_signal = 0;

namespace {

void on_stop_signal(int sig) { stop_signal = sig; }

}  // namespace

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
pid_t start_sandbox(const std::vector<std::string>& command, int slave) {
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

namespace {

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

}  // namespace

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
