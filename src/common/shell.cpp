// Commands of the switch's root file system, run through the shell.
#include "common/shell.h"

#include <cstdio>
#include <cstdlib>

int flush_then_shell(const char* command) {
    fflush(stdout);
    fflush(stderr);
    return system(command);
}

void shell_step(const char* command) { [[maybe_unused]] int status = flush_then_shell(command); }
