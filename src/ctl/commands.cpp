// bmctl install, set-slot and mark-good: the writes of the update cycle.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/files.h"
#include "ctl/ctl.h"
#include "hw/eeprom.h"
#include "hw/start_count.h"
#include "install/installer.h"
#include "install/slot_state.h"

namespace {

constexpr int EEPROM_WRITE_DONE = 3;  // the offset's two bytes and the value

// By default the slot this start did not come from; after a start from the USB stick or the
// rescue partition, the slot that is not the boot slot, so that the image booted now stays.
int default_install_slot() {
    int came_from = started_slot();
    if (came_from) return other_slot(came_from);
    return other_slot(get_boot_slot() == 2 ? 2 : 1);
}

}  // namespace

int run_install(const char* path, int slot, bool skip_same) {
    // check the package before anything is written
    if (FILE* package = fopen(path, "rb"))
        fclose(package);
    else
        return fail(path, strerror(errno));
    if (slot == 0) slot = default_install_slot();

    // install it
    int skipped = 0;
    InstallResult result = install_package_counting(path, skip_same ? 1 : 0, slot, &skipped);
    fflush(stdout);
    // a package whose images were all skipped as installed already is done too
    if (result == INSTALL_NOTHING && skipped == 0) return fail(path, "nothing was installed (see the messages above)");
    fprintf(results, "%s: %s; boot slot %d\n", path, result == INSTALL_DONE ? "installed" : "already installed",
            get_boot_slot());
    return CTL_OK;
}

int run_set_slot(int slot) {
    SlotState state = read_slot_state(slot);
    const char* path = slot_image_path(slot);
    if (!state.present) return fail(path, "no such file");
    if (!state.crc_ok) return fail(path, state.found ? "its image does not verify" : "it holds no image to boot");
    if (set_boot_slot(uint8_t(slot)) != EEPROM_WRITE_DONE) return fail("/dev/i2c-0", "the boot slot was not written");
    fprintf(results, "boot slot %d\n", slot);
    return CTL_OK;
}

int run_mark_good() {
    if (!start_limit) {
        fputs("bmctl: the start limit is off (no startlimit= setting): nothing to confirm\n", stderr);
        return CTL_OK;
    }
    int slot = started_slot();
    if (!slot) {
        fputs("bmctl: this start did not come from a slot: nothing to confirm\n", stderr);
        return CTL_OK;
    }
    SlotState state = read_slot_state(slot);
    if (!state.found) return fail(slot_image_path(slot), "it holds no image to confirm");
    if (!confirm_slot_image(slot, slot_image_crc(state))) return fail("/dev/i2c-0", "the confirmation was not written");
    fprintf(results, "slot %d confirmed\n", slot);
    return CTL_OK;
}
