// The boot sequence and the slot image boot on the simulated board: which slot is tried, each
// way a slot can fail and what follows, and the boot mode recorded in EEPROM cell 0x13A.
// Faults tried: bmsim not passing the board's memory-size to a sanitizer build ->
// BootSpine.ImageTooLargeForMemoryFailsLikeADamagedOne fails; the walk refusing an image whose
// end lies past 2^32 before looking at its type -> "Image has invalid header 0x1504754" and the
// rescue menu in BootSpine.BothSlotsFailTheirCrcThenTheShellAndAReboot.
#include "scenario_board.h"

namespace {

using BootSpine = Scenario;

// Both slots fail their CRC: slot 2 (from the EEPROM), then slot 1 as the final attempt, which
// skips the rescue menu and ends in the shell and a reboot. A slot file shorter than its image
// claims is a failed read, which counts as a CRC failure; so in slot 1, after a kernel image,
// an application image whose end lies past 2^32 is still found.
TEST_F(BootSpine, BothSlotsFailTheirCrcThenTheShellAndAReboot) {
    set_eeprom("0x100", "2");
    env({"shell=on"});
    put_slot(2, spoiled(app_image("two")));
    const Bytes one = app_image("one");
    put_slot(1, joined({flash_image(IMAGE_KERNEL, 300, 1), claiming(Bytes(one.begin(), one.end() - 10), 0xFFFFFF00)}));
    boot();
    shows({"Booting image '2'", "Image2 CRC failed, trying Image1 now.", "Booting image '1'",
           "Both image1 and image2 failed."});
    uses_shell();
    ends();
    EXPECT_EQ(count_of(session.output, "Booting image '"), 2u) << session.output;
    EXPECT_TRUE(has(log(), {"/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n",
                            "bmsim: start 1 ended: reboot requested, exit status 0"}));
    EXPECT_EQ(eeprom(0x13A), 0xFF);
}

// Without the first I2C bus the EEPROM reads as 0: slot 1 comes first whatever cell 0x100 holds.
// Neither slot file exists: the rescue menu, then after Exit the shell and the reboot.
TEST_F(BootSpine, WithoutTheFirstBusAndSlotFilesTheRescueMenu) {
    set_eeprom("0x100", "2");
    env({"shell=on"});
    write_text(board + "/faults", "missing /dev/i2c-0\n");
    boot();
    shows({"Booting image '1'", "Failed to open Application image 1. Trying image 2.",
           "Failed to open Application image 2.", "Entering Rescue Mode."});
    answer("Option? : ", "E");
    uses_shell();
    ends();
    EXPECT_EQ(count_of(session.output, "ERROR: driver /dev/i2c-0 couldn't be opened"), 1u) << session.output;
    EXPECT_TRUE(lacks(session.output, {"ERROR: driver /dev/i2c-1"}));
    EXPECT_EQ(count_of(session.output, "Booting image '"), 1u) << session.output;
    EXPECT_TRUE(has(log(), {"start 1 ended: reboot requested, exit status 0"}));
}

// The missing slot file is replaced by the other slot's inside the same attempt, and the slot
// actually started is recorded. The marker 0xD4 leaves the inserted stick alone. A diagnostics
// image has its program moved into place before the install script runs.
TEST_F(BootSpine, MissingSlotTwoCrossesOverToADiagnosticsImageInSlotOne) {
    set_eeprom("0x100", "2");
    set_eeprom("0x13B", "0xD4");
    bmsim_ok({"usb", board, "insert"});
    std::vector<AppFile> tree = tree_with(
        "diag", {{"home/bin/mp.elf.strip", "-"},
                 {"home/bin/install.sh",
                  "#!/bin/sh\n[ -x /tmp/home/bin/mp.elf.strip ] && echo \"install sees the program\"\n", true},
                 {"mpdiag.elf.strip", "#!/bin/sh\necho \"DIAGNOSTICS $APP_GREETING RUNNING\"\n", true}});
    put_slot(1, image_of(IMAGE_DIAGNOSTICS, VERSION_1, make_tarball(tree)));
    boot_showing({"Failed to open Application image 2. Trying image 1.", "install diags image",
                  "install sees the program", "DIAGNOSTICS hello-from-diag RUNNING"});
    EXPECT_EQ(count_of(session.output, "Booting image '"), 1u) << session.output;
    EXPECT_TRUE(lacks(session.output, {"Attempting to mount"}));
    EXPECT_EQ(eeprom(0x13A), 1);
}

// No bootable image: the first attempt goes on with the other slot, the final one opens the
// rescue menu. Slot 1's header and payload lengths wrap past 2^32 to 48 bytes, with a CRC made to
// match those 48 bytes: a wrapped total would pass the check and write 4 GiB from the buffer.
TEST_F(BootSpine, NoBootableImageTriesTheOtherSlotThenOpensTheRescueMenu) {
    Bytes wrapping = claiming(build_image({.format = 2, .header_len = 0x40}, Bytes(32, 0x5A)), 0xFFFFFFF0);
    write_be32(&wrapping[0], crc32_update(&wrapping[4], 48 - 4, 0xFFFFFFFF));
    put_slot(1, wrapping);
    put_slot(2, flash_image(IMAGE_KERNEL, 300, 1));
    boot();
    shows({"Image has invalid header 0x81504754. (0x6504754)", "Image1 has invalid header... trying Image2.",
           "Booting image '2'", "No valid application image found. Trying rescue image"});
    answer("Option? : ", "E");
    ends();
    EXPECT_TRUE(lacks(session.output, {"Image2 has invalid header"}));
    EXPECT_TRUE(has(log(), {"reboot requested"}));
    EXPECT_EQ(eeprom(0x13A), 0xFF);
}

// A headerless slot 1 and a slot 2 failing its CRC end in a reboot without the rescue menu.
TEST_F(BootSpine, HeaderlessAndDamagedSlotsRebootWithoutTheRescueMenu) {
    put_slot(1, pattern_bytes(3000, 9));
    put_slot(2, spoiled(app_image("two")));
    boot_showing(
        {"Image1 has invalid header... trying Image2.", "Booting image '2'", "Both image1 and image2 failed."});
    EXPECT_TRUE(lacks(session.output, {"Option? : "}));
    EXPECT_TRUE(has(log(), {"bmsim: start 1 ended: reboot requested"}));
}

// A stick left in with a kernel package and nobody at the console: installed once, a reboot,
// then skipped as installed, and the flash boots.
TEST_F(BootSpine, StickLeftInIsInstalledOnceThenSkipped) {
    put_slot(1, app_image("one"));
    set_eeprom("0x13B", "0xD5");
    const Bytes kernel = flash_image(IMAGE_KERNEL, 5000, 3, VERSION_2);
    insert_stick({{"NXR4417_Boot.img", kernel}});
    boot_showing({"Installing Kernel:", "File processed",
                  "Image has same version as existing image. Skipping update...", "APPLICATION one RUNNING"},
                 {"--power-cycles", "3"});
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(count_of(session.output, "Installing Kernel:"), 2u) << session.output;
}

// An image larger than the memory the program may take (the board's memory-size) is refused with
// a message and fails as a damaged one would; with no other slot the boot ends in a reboot.
TEST_F(BootSpine, ImageTooLargeForMemoryFailsLikeADamagedOne) {
    write_text(board + "/memory-size", std::to_string(32 << 20));
    put_slot(1, image_of(IMAGE_APPLICATION, VERSION_1, pattern_bytes(48 << 20, 1)));
    boot_showing({"Not enough memory to load the image (50331664 bytes).", "Image1 CRC failed, trying Image2 now.",
                  "Both image1 and image2 failed."});
    EXPECT_TRUE(has(log(), {"bmsim: start 1 ended: reboot requested"}));
}

}  // namespace
