// placeholder until the boot parameters land
#include "boot/boot_options.h"
void read_boot_parameters() {}
void parse_boot_parameters(const char*, BootOptions*) {}
