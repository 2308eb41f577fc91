// The image of the rescue partition (diagnostics or recovery) and the debugger from the other slot.
#pragma once

#include "common/ending.h"

// Verifies the rescue partition's image and writes it out as the application archive (a
// recovery image may also be copied into a slot). GO_ON when there is nothing to start.
Ending boot_rescue_partition();
// Fetches the debugger from the slot that is not being booted: 1 when "/tmp/gdb" was made.
int extract_gdb(int slot);
