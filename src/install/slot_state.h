// What a slot file holds, as the boot would find it: its first application or diagnostics image
// and whether that image's CRC verifies. For bmctl and the rollback's choice of the other slot.
#pragma once
#include <cstdint>

#include "image/image_header.h"

struct SlotState {
    bool present;  // the slot file opens
    bool found;    // it holds an application or diagnostics image
    bool crc_ok;   // that image is whole and its CRC verifies
    FoundImage image;
};

SlotState read_slot_state(int slot);
// The stored CRC word of the slot's image: what its start count belongs to.
inline uint32_t slot_image_crc(const SlotState& state) { return read_be32(state.image.header); }
