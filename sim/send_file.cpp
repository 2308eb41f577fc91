// Sending a file through the console: lrzsz's XMODEM-1K sender on a socket pair, the console's
// output passed to it and its bytes typed on the console, with a cancel key, a bounded wait for
// the receiver and the progress on bmsim's terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "console.h"

namespace {

// The receiver discards its pending input right after each answer it sends (a request, an
// acknowledgement). On a serial line the sender's next block is still on its way then; through
// a pseudo-terminal it would already be there and be lost, costing the receiver's ten-second
// wait. So the sender's bytes reach the console only once it has been quiet this long.
constexpr auto LINE_TURNAROUND = std::chrono::milliseconds(20);
// sx itself sends blind once it has waited a minute for a request; the run gives up before
// (BMSIM_SEND_WAIT seconds, 30 by default).
int receiver_wait_seconds() {
    const char* text = std::getenv("BMSIM_SEND_WAIT");
    int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 30;
}
constexpr auto PROGRESS_EVERY = std::chrono::seconds(2);
constexpr char NAK = 0x15;  // the receiver's request for a checksum transfer ('C': with a CRC)
// Two CAN bytes end a receiver's transfer; a few more cover one lost on the way.
const std::string CANCEL_BYTES(5, '\x18');

// A sender that has gone must not take bmsim down with SIGPIPE.
void send_all(int socket, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(socket, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

std::string describe_status(int status) {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) == 127) return "exit status 127 (is lrzsz installed?)";
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The sender's bytes so far (blocks with their frames, at most the file's size) and the rate.
std::string progress(const Transfer& transfer) {
    double seconds = seconds_since(transfer.first_request);
    unsigned long long sent = std::min(transfer.bytes_sent, transfer.size);
    char text[160];
    std::snprintf(text, sizeof text, "%llu of %llu bytes in %.1f s (%.1f KB/s)", sent, transfer.size, seconds,
                  seconds > 0 ? static_cast<double>(sent) / seconds / 1000 : 0.0);
    return text;
}

void report_transfer(Console& console, int status) {
    Transfer& transfer = console.transfer;
    if (!transfer.ended_why.empty()) {
        if (console.script) console.failure = transfer.ended_why;
        return notice(console, transfer.ended_why);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return notice(console, "'" + transfer.file + "' sent: " + progress(transfer));
    std::string why = "sx -k '" + transfer.file + "' failed: " + describe_status(status);
    if (console.script) console.failure = why;
    notice(console, why);
}

// Closes the sender's socket and waits for it: options 0 waits, WNOHANG only looks. False when it
// has not ended yet (its socket stays open then).
bool reap_transfer(Console& console, int options) {
    Transfer& transfer = console.transfer;
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(transfer.pid, &status, options)) < 0 && errno == EINTR) {}
    if (reaped == 0) return false;
    close(transfer.socket);
    transfer.pid = -1;
    report_transfer(console, status);
    return true;
}

void finish_transfer(Console& console) {
    shutdown(console.transfer.socket, SHUT_RDWR);
    reap_transfer(console, 0);
}

// Stops the sender; a receiver already under way is told to give up too.
void stop_transfer(Console& console, const std::string& why) {
    Transfer& transfer = console.transfer;
    transfer.ended_why = why;
    kill(transfer.pid, SIGKILL);
    reap_transfer(console, 0);
    transfer.held.clear();
    if (transfer.receiver_asked) console.pending += CANCEL_BYTES;
}

}  // namespace

// lrzsz's sender on a socket pair, its chatter on standard error silenced: bmsim tells how
// the transfer went.
bool start_transfer(Console& console, const std::string& file, std::string* error) {
    int sockets[2] = {-1, -1};
    struct stat info = {};
    if (access(file.c_str(), R_OK) != 0 || stat(file.c_str(), &info) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        *error = "cannot send '" + file + "': " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        close(sockets[0]);
        close(sockets[1]);
        *error = "cannot send '" + file + "': Is a directory";
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(sockets[1], STDIN_FILENO);
        dup2(sockets[1], STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execlp("sx", "sx", "-k", file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(sockets[1]);
    if (pid < 0) {
        *error = "cannot start sx: " + std::string(std::strerror(errno));
        close(sockets[0]);
        return false;
    }
    console.transfer = Transfer();
    console.transfer.pid = pid;
    console.transfer.socket = sockets[0];
    console.transfer.file = file;
    console.transfer.size = static_cast<unsigned long long>(info.st_size);
    console.transfer.started = Clock::now();
    std::string cancel = console.interactive && console.escape_key >= 0 ? "; the escape key and c cancel it" : "";
    notice(console, "sending '" + file + "' with XMODEM-1K (sx -k) once the receiver asks" + cancel);
    return true;
}

// Until the receiver has asked, the console shows text, which sx would take for requests of other
// protocols (a 'G' starts a streaming mode the receiver does not speak): sx gets only a request
// byte that ends what the console showed, as the receiver's request does, for it then waits.
void pass_to_sender(Console& console, const char* bytes, size_t size) {
    if (!console.transfer.receiver_asked) {
        if (size == 0 || (bytes[size - 1] != 'C' && bytes[size - 1] != NAK)) return;
        bytes += size - 1;
        size = 1;
    }
    send_all(console.transfer.socket, bytes, size);
    console.transfer.held_until = Clock::now() + LINE_TURNAROUND;
}

int transfer_socket(const Console& console) { return console.transfer.pid > 0 ? console.transfer.socket : -1; }

// sx writes nothing before the receiver's first request: its first bytes are the first block.
void relay_transfer(Console& console) {
    Transfer& transfer = console.transfer;
    char buffer[8192];
    ssize_t n = recv(transfer.socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return finish_transfer(console);
    if (!std::exchange(transfer.receiver_asked, true)) transfer.first_request = transfer.last_progress = Clock::now();
    transfer.held.append(buffer, static_cast<size_t>(n));
    transfer.bytes_sent += static_cast<unsigned long long>(n);
}

void advance_transfer(Console& console) {
    Transfer& transfer = console.transfer;
    if (transfer.pid <= 0) return;
    if (!transfer.held.empty() && Clock::now() >= transfer.held_until)
        console.pending += std::exchange(transfer.held, "");
    if (!transfer.receiver_asked && Clock::now() - transfer.started >= std::chrono::seconds(receiver_wait_seconds()))
        return stop_transfer(console, "no receiver asked for '" + transfer.file + "' within " +
                                          std::to_string(receiver_wait_seconds()) + " s: nothing sent");
    if (transfer.receiver_asked && Clock::now() - transfer.last_progress >= PROGRESS_EVERY) {
        transfer.last_progress = Clock::now();
        notice(console, "sending '" + transfer.file + "': " + progress(transfer));
    }
}

void cancel_transfer(Console& console) {
    if (console.transfer.pid <= 0) return notice(console, "no file is being sent");
    stop_transfer(console, "sending '" + console.transfer.file + "' cancelled");
}

// The board has ended. A sender whose last acknowledgement has just been relayed ends on its
// own within moments; one still waiting for the receiver is stopped.
void end_transfer(Console& console) {
    if (console.transfer.pid <= 0) return;
    for (int waited_ms = 0; waited_ms < 2000; waited_ms += 10) {
        if (reap_transfer(console, WNOHANG)) return;
        usleep(10000);
    }
    kill(console.transfer.pid, SIGKILL);
    reap_transfer(console, 0);
}
