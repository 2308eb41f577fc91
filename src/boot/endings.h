// The ways the boot manager's process ends, in one place: the reboot, the shell before it, the
// rescue menu before that, and the application start (boot/app_start.h). Operations name the
// ending they need (common/ending.h); only the boot sequence carries it out.
#pragma once

#include "common/ending.h"

[[noreturn]] void reboot_system();
// The shell when the options ask for it, then the reboot.
[[noreturn]] void shell_then_reboot();
[[noreturn]] void rescue_then_shell_then_reboot();
// Carries out an ending; returns only for GO_ON.
void carry_out(Ending ending);
