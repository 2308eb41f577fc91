// The image of the rescue partition (diagnostics or recovery) and the debugger from the other slot.
#pragma once

#include <cstdint>

#include "common/ending.h"
#include "image/image_header.h"

enum RescueRead { RESCUE_NOT_FOUND, RESCUE_NO_MEMORY, RESCUE_DAMAGED, RESCUE_INTACT };
// The rescue partition's image read whole and verified. Not found unless an application or a
// diagnostics image starts the partition (*type: its type); when intact, *image holds it and is
// the caller's to free.
RescueRead read_rescue_image(uint32_t* type, ImageLayout* layout, uint8_t** image);

// Verifies the rescue partition's image and writes it out as the application archive (a
// recovery image may also be copied into a slot). GO_ON when there is nothing to start.
Ending boot_rescue_partition();
// Fetches the debugger from the slot that is not being booted: 1 when "/tmp/gdb" was made.
int extract_gdb(int slot);
