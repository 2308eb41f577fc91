// The boot spine's small operations: the interrupt key, the slot choice and the reboot.
#include "boot/boot_sequence.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "hw/eeprom.h"
#include "records.h"

void on_sigint(int) { break_requested = 1; }

// Without SA_RESTART, so that a console read under way ends at the interrupt key and the menus
// see break_requested at once.
void install_signal_handlers() {
    struct sigaction action = {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

// Anything but 2 (a failed read, an erased cell) boots slot 1.
int select_boot_slot() { return get_boot_slot() == 2 ? 2 : 1; }

void reboot_system() {
    // Whatever the console still holds must come out before the switch goes down.
    std::fflush(stdout);
    sleep(1);
    if (std::system("reboot") < 0) std::fputs("System reboot failed, please power-cycle.\n", stderr);
    std::exit(0);
}
