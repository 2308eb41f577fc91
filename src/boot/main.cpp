// BootManager's entry: one straight sequence from start-up to the application or a reboot.
#include <cstdio>
#include <cstdlib>

#include "boot/boot_options.h"
#include "boot/boot_sequence.h"
#include "console/rescue_menu.h"
#include "console/usb_media.h"
#include "hw/eeprom.h"
#include "hw/flash.h"
#include "image/slot_boot.h"
#include "records.h"

namespace {

// The console is the serial port: a line must reach it before any shell command or message on
// standard error that follows, whatever kind of file standard output is.
void make_console_output_line_buffered() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

void prepare_user_filesystem() {
    std::system("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    // One walk of the whole jffs2 file system; only the walk matters, not the listing.
    std::system("/usr/bin/find /user > /dev/null");
}

void enter_requested_diagnostics() {
    if (boot_options.diagnostics_rescue) rescue_menu();
    if (boot_options.diagnostics_diags) erase_user_filesystem();
}

void decide_usb_boot() {
    usb_boot_enabled = get_usb_boot_marker() == USB_BOOT_ENABLED ? 1 : 0;
    if (usb_boot_enabled && mount_usb() < 0) usb_boot_enabled = 0;
}

// The boot package and the replacements of the stick, then its application image. Returns the
// slot to boot when a replacement was just installed, else 0.
BootSource boot_from_usb() {
    check_usb_boot_image();
    BootSource source = check_usb_replacements();
    if (source != 3) return source;
    std::printf("Booting image '%s' from USB stick.\n", "NXR4417_OS.img");
    if (boot_image(3) != 0) reboot_system();
    std::puts("USB Boot failed. Trying flash images.");
    return 0;
}

// The chosen slot, then once the other slot, which boot_image treats as the last chance.
void boot_slots(BootSlot slot) {
    std::printf("Booting image '%d'\n", slot);
    if (boot_image(slot) != 0) return;
    BootSlot other = slot == 1 ? 2 : 1;
    std::printf("Booting image '%d'\n", other);
    fallback_attempt = 1;
    boot_image(other);
}

}  // namespace

int main(int, char**) {
    make_console_output_line_buffered();
    install_signal_handlers();
    i2c_open_buses();
    flash_open_partitions();
    read_boot_parameters();
    prepare_user_filesystem();
    enter_requested_diagnostics();
    decide_usb_boot();
    BootSource source = usb_boot_enabled ? boot_from_usb() : 0;
    if (source == 0) source = select_boot_slot();
    boot_slots(source);
    reboot_system();
}
