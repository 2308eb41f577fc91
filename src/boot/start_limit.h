// The rollback after failed starts (startlimit=N): the choice of the slot before the slot boot.
#pragma once

#include "common/files.h"

// The slot to boot instead of the one chosen: the other slot, made the boot slot, when the
// chosen slot's image has run out of starts and the other's image verifies and has starts left.
// When both are out, the rescue menu as for two failing slots (never returns). Off, or when the
// chosen slot holds no image to count, the chosen slot.
BootSlot apply_start_limit(BootSlot slot);
