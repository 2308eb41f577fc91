// The headers of the images installed now, read back from their slot files and partitions, and
// the comparison of a new image with the installed one.
#pragma once
#include <cstdint>
#include <cstdio>

// The first 16 bytes of a slot file; a short file leaves zeros in what it does not hold.
void read_slot_header(FILE* slot_file, uint8_t* header);
// The header of the installed image of a type (the slot, 1 or 2, matters for the application
// only). False for a missing slot file and an unknown type; an unreadable partition reads as
// zeros, and true.
bool read_installed_header(uint32_t type, uint8_t* header, int slot);
bool same_version(const uint8_t* new_header, int slot);
