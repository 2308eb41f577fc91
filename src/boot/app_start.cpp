// placeholder until the application start lands
#include "boot/app_start.h"
#include "boot/boot_sequence.h"
void start_application(bool) { reboot_system(); }
void apply_env_setup(FILE*) {}
