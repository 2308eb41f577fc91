// The rollback after failed starts. Each start of an unconfirmed slot image is counted where it
// is handed over (store/slot_boot.cpp); here, before the slot boot, a boot slot whose image has
// run out of starts gives way to the other slot.
#include "boot/start_limit.h"

#include <cstdio>

#include "boot/endings.h"
#include "hw/eeprom.h"
#include "hw/start_count.h"
#include "install/slot_state.h"

namespace {

const char* plural(int count) { return count == 1 ? "" : "s"; }

bool out_of_starts(int slot, const SlotState& state, SlotStarts* starts) {
    *starts = read_slot_starts(slot, slot_image_crc(state));
    return starts_run_out(*starts);
}

}  // namespace

BootSlot apply_start_limit(BootSlot slot) {
    if (start_limit == 0) return slot;
    SlotState chosen = read_slot_state(slot);
    SlotStarts starts;
    if (!chosen.found || !out_of_starts(slot, chosen, &starts)) return slot;

    BootSlot other = other_slot(slot);
    SlotState spare = read_slot_state(other);
    SlotStarts spare_starts;
    if (spare.crc_ok && !out_of_starts(other, spare, &spare_starts)) {
        printf("Image%d was started %d time%s without being confirmed. Booting Image%d.\n", slot, starts.count,
               plural(starts.count), other);
        set_boot_slot(uint8_t(other));
        return other;
    }
    printf("Image%d was started %d time%s without being confirmed, and Image%d cannot be booted.\n", slot, starts.count,
           plural(starts.count), other);
    fputs("No valid application image found. Trying rescue image\n", stderr);
    carry_out(END_RESCUE_SHELL_REBOOT);
    return NO_BOOT_SOURCE;
}
