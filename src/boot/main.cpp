// BootManager's entry: one straight sequence from start-up to the application or a reboot.
#include <cstdio>

#include "boot/endings.h"
#include "boot/start_limit.h"
#include "common/files.h"
#include "common/shell.h"
#include "console/console_input.h"
#include "hw/eeprom.h"
#include "hw/flash.h"
#include "options/boot_options.h"
#include "rescue/rescue_menu.h"
#include "rescue/usb_media.h"
#include "store/slot_boot.h"

namespace {

// The console is the serial port: a line must reach it before any shell command or message on
// standard error that follows, whatever kind of file standard output is.
void make_console_output_line_buffered() { setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

void prepare_user_filesystem() {
    shell_step("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    // One walk of the whole jffs2 file system; only the walk matters, not the listing.
    shell_step("/usr/bin/find /user > /dev/null");
}

void enter_requested_diagnostics() {
    if (boot_options.diagnostics_rescue) carry_out(rescue_menu());
    if (boot_options.diagnostics_diags) carry_out(erase_user_filesystem());
}

void decide_usb_boot() {
    usb_boot_enabled = get_usb_boot_marker() == USB_BOOT_ENABLED ? 1 : 0;
    if (usb_boot_enabled && mount_usb() < 0) usb_boot_enabled = 0;
}

// The boot package and the replacements of the stick, then its application image. Returns the
// slot to boot when a replacement was just installed, else none.
BootSource boot_from_usb() {
    carry_out(check_usb_boot_image());
    BootSource source = check_usb_replacements();
    if (source != BOOT_USB_STICK) return source;
    printf("Booting image '%s' from USB stick.\n", "NXR4417_OS.img");
    carry_out(boot_image(BOOT_USB_STICK));
    puts("USB Boot failed. Trying flash images.");
    return NO_BOOT_SOURCE;
}

// The chosen slot, then once the other slot, which boot_image treats as the last chance.
void boot_slots(BootSlot slot) {
    printf("Booting image '%d'\n", slot);
    carry_out(boot_image(slot));
    BootSlot other = other_slot(slot);
    printf("Booting image '%d'\n", other);
    fallback_attempt = 1;
    carry_out(boot_image(other));
}

}  // namespace

int main(int, char**) {
    make_console_output_line_buffered();
    install_signal_handlers();
    ignore_keyboard_signals();
    i2c_open_buses();
    flash_open_partitions();
    read_boot_parameters();
    prepare_user_filesystem();
    enter_requested_diagnostics();
    decide_usb_boot();
    BootSource source = usb_boot_enabled ? boot_from_usb() : NO_BOOT_SOURCE;
    // Anything but 2 in the EEPROM (a failed read, an erased cell) boots slot 1.
    if (source == NO_BOOT_SOURCE) source = get_boot_slot() == 2 ? BOOT_SLOT_2 : BOOT_SLOT_1;
    source = apply_start_limit(source);
    boot_slots(source);
    reboot_system();
}
