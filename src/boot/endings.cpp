// The ways the boot manager's process ends.
#include "boot/endings.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "boot/app_start.h"
#include "common/shell.h"
#include "options/boot_options.h"
#include "rescue/rescue_menu.h"

void reboot_system() {
    // Whatever the console still holds must come out before the pause, not only after it.
    fflush(stdout);
    sleep(1);
    if (flush_then_shell("reboot") < 0) fputs("System reboot failed, please power-cycle.\n", stderr);
    exit(0);
}

void shell_then_reboot() {
    // How the shell ended does not matter: the switch reboots either way.
    if (boot_options.shell) shell_step("/bin/sh\n");
    reboot_system();
}

// An action of the menu that ends the process is carried out at once; leaving the menu goes
// on to the shell and the reboot.
void rescue_then_shell_then_reboot() {
    carry_out(rescue_menu());
    shell_then_reboot();
}

void carry_out(Ending ending) {
    switch (ending) {
        case GO_ON: return;
        case END_REBOOT: reboot_system();
        case END_SHELL_REBOOT: shell_then_reboot();
        case END_RESCUE_SHELL_REBOOT: rescue_then_shell_then_reboot();
        case END_START_APPLICATION: start_application(false);
        case END_START_DIAGNOSTICS: start_application(true);
    }
    reboot_system();
}
