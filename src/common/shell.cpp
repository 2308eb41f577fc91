// Commands of the switch's root file system, run through the shell.
#include "common/shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>

extern char** environ;

namespace {

// As system(), which would hand on to the command the quit and stop keys that the boot manager
// ignores (an ignored signal stays ignored across exec): while the boot manager waits it ignores
// the interrupt key too, and the command gets all three at their defaults.
int shell_with_keyboard_signals(const char* command) {
    struct sigaction ignore = {}, saved_interrupt = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &saved_interrupt);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal_number : {SIGINT, SIGQUIT, SIGTSTP}) sigaddset(&defaults, signal_number);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    char* arguments[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    pid_t child = 0;
    int status = 0;
    int error = posix_spawn(&child, "/bin/sh", nullptr, &attributes, arguments, environ);
    if (error == 0) {
        while (waitpid(child, &status, 0) < 0)
            if (errno != EINTR) {
                status = -1;
                break;
            }
    } else {
        // As system(): a shell that is missing or cannot run counts as the shell's exit 127, and
        // a process that cannot be created as -1.
        bool no_shell = error == ENOENT || error == EACCES || error == ENOEXEC;
        status = no_shell ? W_EXITCODE(127, 0) : -1;
    }
    posix_spawnattr_destroy(&attributes);
    sigaction(SIGINT, &saved_interrupt, nullptr);
    return status;
}

}  // namespace

int flush_then_shell(const char* command) {
    fflush(stdout);
    fflush(stderr);
    return shell_with_keyboard_signals(command);
}

void shell_step(const char* command) { [[maybe_unused]] int status = flush_then_shell(command); }
