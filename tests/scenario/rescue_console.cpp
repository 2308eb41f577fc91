// The rescue menu's console for scenario tests (rescue_console.h).
#include "rescue_console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "bmimage/image_builder.h"

#ifndef BMSIM_PATH
#define BMSIM_PATH "bmsim"
#endif

namespace rescue {

const std::vector<std::string> RESCUE_FAST = {"--time-scale", "0.05", "--timeout", "90"};

namespace {

const char* const SETUP_PROMPT = "before initiating the download.";
const char* const SETUP_REMINDER = "Waiting for the <Enter> key to be hit before the download can start...";
const char* const RESTORE_PROMPT = "Change the baud rate back to 9600 bps, hit the <ENTER> key";
const char* const RESTORE_REMINDER = "Waiting for the <ENTER> key to be hit...";
const char* const RECEIVER_READY = "rx: ready to receive";

bool shown_since(const ConsoleSession& session, size_t from, const std::string& text) {
    return session.output.find(text, from) != std::string::npos;
}

void write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

pid_t start_sx(const std::string& file, int peer) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(peer, STDIN_FILENO);
        dup2(peer, STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execlp("sx", "sx", "-k", file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// One round of the relay; false once the sender's side is closed.
bool relay_once(ConsoleSession& session, int sender, size_t* receiver_seen_from) {
    pollfd fds[2] = {{session.master, POLLIN, 0}, {sender, POLLIN, 0}};
    if (poll(fds, 2, 200) <= 0) return true;
    char buffer[8192];
    if (fds[0].revents & (POLLIN | POLLHUP)) {
        ssize_t n = read(session.master, buffer, sizeof buffer);
        if (n > 0) {
            session.output.append(buffer, static_cast<size_t>(n));
            write_all(sender, buffer, static_cast<size_t>(n));
        }
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = read(sender, buffer, sizeof buffer);
        if (n <= 0) return false;
        write_all(session.master, buffer, static_cast<size_t>(n));
    }
    // The Enter before the transfer was lost to the port's flush: the program still waits.
    if (!shown_since(session, *receiver_seen_from, RECEIVER_READY)) {
        size_t reminder = session.output.find(SETUP_REMINDER, *receiver_seen_from);
        if (reminder != std::string::npos) {
            send_keys(session, "\r");
            *receiver_seen_from = reminder + 1;
        }
    }
    return true;
}

}  // namespace

void watch(ConsoleSession& session, double seconds) {
    // expect() with a text that never comes reads the console for that long
    expect(session, std::string("\x01\x02\x03 never"), seconds);
}

std::string rescue_board() {
    std::string board = new_board();
    std::string output;
    EXPECT_EQ(run_bmsim({"env", board, "diagnostics=rescue"}, &output), 0) << output;
    return board;
}

ConsoleSession start_boot_on_socket(const std::string& dir, const std::vector<std::string>& args) {
    ConsoleSession session;
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        ADD_FAILURE() << "socketpair failed";
        return session;
    }
    std::vector<std::string> words = {BMSIM_PATH, "boot", dir};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    session.pid = fork();
    if (session.pid == 0) {
        for (int fd = 0; fd < 3; ++fd) dup2(sockets[1], fd);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(sockets[1]);
    session.master = sockets[0];
    return session;
}

int send_with_sx(ConsoleSession& session, const std::string& file) {
    // a side that ends first must not take the test down with it
    signal(SIGPIPE, SIG_IGN);
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return -1;
    pid_t pid = start_sx(file, sockets[1]);
    close(sockets[1]);
    size_t receiver_seen_from = session.mark;
    while (relay_once(session, sockets[0], &receiver_seen_from)) {
    }
    close(sockets[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool press_enter_after(ConsoleSession& session, const std::string& prompt, const std::string& key,
                       const std::string& reminder, const std::string& next) {
    if (!expect(session, prompt)) return false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        watch(session, 0.3);
        size_t sent_at = session.output.size();
        send_keys(session, key);
        for (int wait = 0; wait < 40; ++wait) {
            if (shown_since(session, session.mark, next)) return expect(session, next, 0);
            if (shown_since(session, sent_at, reminder)) break;
            watch(session, 0.1);
        }
    }
    return false;
}

bool download_package(ConsoleSession& session, const std::string& file) {
    send_keys(session, "x");
    if (!expect(session, SETUP_PROMPT)) return false;
    watch(session, 0.3);
    send_keys(session, "\r");
    int status = send_with_sx(session, file);
    EXPECT_EQ(status, 0) << "sx -k " << file;
    return press_enter_after(session, RESTORE_PROMPT, "\n", RESTORE_REMINDER, "Extracting images");
}

std::vector<uint8_t> pattern_bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}

std::vector<uint8_t> join_images(const std::vector<std::vector<uint8_t>>& images) {
    std::vector<uint8_t> package;
    for (const auto& image : images) package.insert(package.end(), image.begin(), image.end());
    return package;
}

std::vector<uint8_t> flash_image(uint32_t type, size_t payload_size, uint8_t seed, uint32_t id) {
    ImageSpec spec;
    spec.type = type;
    spec.id = id;
    return build_image(spec, pattern_bytes(payload_size, seed));
}

bool starts_with(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool all_erased(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

}  // namespace rescue
