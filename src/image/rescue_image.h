// The image of the rescue partition (diagnostics or recovery) and the debugger from the other slot.
#pragma once

int boot_rescue_partition();
int extract_gdb(int slot);
