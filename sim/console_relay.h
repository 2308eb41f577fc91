// One start's process and its console relay.
#pragma once
#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "console.h"

enum class StartEnd { EXITED, TIMED_OUT, STOPPED };

// The signal that stops bmsim (SIGINT, SIGTERM, SIGHUP, SIGPIPE), once caught; 0 until then.
extern volatile sig_atomic_t stop_signal;
void catch_stop_signals();

// Starts the command in a session of its own whose controlling terminal is the console's
// pseudo-terminal (slave); it dies with bmsim.
pid_t start_sandbox(const std::vector<std::string>& command, int slave);

// Relays the console until the process ends, bmsim is stopped, the console's script failed, or
// the deadline passes; the process's wait status in *status.
StartEnd relay_console(pid_t pid, Console& console, Clock::time_point deadline, bool has_deadline, int* status);
