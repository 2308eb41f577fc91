// placeholder until the boot sequence lands
#include "boot/boot_sequence.h"
int main() { reboot_system(); }
