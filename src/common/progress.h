// The percent display of long writes (flash blocks, slot files): four columns overwritten in
// place with backspaces, from "000%" to "100%".
#pragma once
#include <cstdint>

// False where nobody watches the percent move (output that is not a terminal): the line ends
// are kept, the percents left out.
extern bool progress_shown;
// done × 100 / total in 64 bits: the product passes 2^32 for images over 42 MB.
uint32_t percent_of(uint64_t done, uint64_t total);
// "\b\b\b\b%3.3d%" with the percent, not flushed: the flash write flushes after each block, the
// slot-file write leaves its pieces to the stream's own buffering.
void show_percent(uint64_t done, uint64_t total);
// "\b\b\b\b100%" and the line end.
void show_percent_done();
