// placeholder until the boot sequence lands
#include "boot/boot_sequence.h"
#include <cstdlib>
void install_signal_handlers() {}
void on_sigint(int) { break_requested = 1; }
int select_boot_slot() { return 1; }
void reboot_system() { std::exit(0); }
