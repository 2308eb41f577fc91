// The headers of the images installed now, read back from their slot files and partitions, and
// the comparison of a new image with the installed one.
#pragma once
#include <cstdint>
#include <cstdio>

#include "image/image_header.h"

// The descriptor of the partition that holds images of a flash type; -1 for other types.
int partition_of_type(uint32_t type);
// The first 16 bytes of a slot file; a short file leaves zeros in what it does not hold.
void read_slot_header(FILE* slot_file, uint8_t* header);
// The header of the installed image of a type (the slot, 1 or 2, matters for the application
// only). False for a missing slot file and an unknown type; an unreadable partition reads as
// zeros, and true.
bool read_installed_header(uint32_t type, uint8_t* header, int slot);
// True when the installed image of the new image's type is this image, whole: its header
// matches (the boot loader's without the crc, which its copy cannot hold) and the bytes installed
// equal the new image's (the boot loader's payload alone), which has passed its CRC check. A
// header written over a body cut short by a power cut or a failed write is not the same version.
bool same_version(const uint8_t* new_image, const ImageLayout& layout, int slot);
