// placeholder until the slot boot lands
#include "image/slot_boot.h"
int boot_image(BootSource) { return 0; }
