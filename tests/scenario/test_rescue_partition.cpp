// The image of the rescue partition (diagnostics or recovery), reached through the diagnostics
// boot that follows the erase question. Faults tried: the archive's write and close results
// ignored -> RescuePartition.ArchiveThatCannotBeWrittenWholeIsNotStarted fails.
#include "scenario_board.h"

namespace {

Bytes diagnostics_image(int format = 1) {
    std::vector<AppFile> tree =
        tree_with("diag", {{"mpdiag.elf.strip", "#!/bin/sh\necho \"DIAGNOSTICS RUNNING\"\n", true}});
    return image_of(IMAGE_DIAGNOSTICS, VERSION_1, make_tarball(tree), format);
}

using RescuePartition = Scenario;

// The erase is declined each time (any key but y), which erases nothing. A diagnostics image
// starts with boot mode 4, in either header format. A recovery image is booted as it is on a
// bare Return or at the end of input, or copied into the slot named, which becomes the boot
// slot. A bad CRC, lengths that wrap past 2^32 and an image longer than the partition all fail
// as a CRC mismatch, and the normal boot follows.
TEST_F(RescuePartition, ImageIsStartedCopiedOrRefused) {
    const Bytes slot1 = app_image("slot1"), recovery = app_image("recovery", VERSION_2);
    const Bytes wrapping = claiming(diagnostics_image(), 0xFFFFFFF2);  // total_len = len + 16 wraps to 2
    const Bytes too_long = claiming(diagnostics_image(), 0x7FFFFFF0);  // far beyond the rescue partition
    const Texts diagnostics = {"Launching diagnostics image", "DIAGNOSTICS RUNNING"};
    const Texts just_boot = {"Booting recovery image. You will need to download and install an image before rebooting",
                             "APPLICATION recovery RUNNING"};
    const Texts refused = {"Image CRC failed. Quitting", "APPLICATION slot1 RUNNING"};
    const Texts copied = {"Installing recovery image as image1...", "Setting boot image to 1",
                          "APPLICATION recovery RUNNING"};
    // the case, the image, the answer to the recovery image's question (if it is asked), the
    // texts shown, and then the boot mode, the boot slot and slot 1's image
    const std::tuple<const char*, Bytes, std::string, Texts, int, int, Bytes> cases[] = {
        {"diagnostics, format 1", diagnostics_image(1), "", diagnostics, 4, 2, slot1},
        {"diagnostics, format 2", diagnostics_image(2), "", diagnostics, 4, 2, slot1},
        {"recovery, Return", recovery, "\r", just_boot, 4, 2, slot1},
        {"recovery, end of input", recovery, "\x04", just_boot, 4, 2, slot1},
        {"bad CRC", spoiled(diagnostics_image()), "", refused, 1, 2, slot1},
        {"length wraps", wrapping, "", refused, 1, 2, slot1},
        {"longer than the partition", too_long, "", refused, 1, 2, slot1},
        {"recovery copied to slot 1", recovery, "1\r", copied, 1, 1, recovery}};
    put_slot(1, slot1);
    set_eeprom("0x100", "2");
    env({"diagnostics=diags"});
    for (const auto& [what, image, key, texts, mode, boot_slot, image1] : cases) {
        SCOPED_TRACE(what);
        flash("rescue", image);
        set_eeprom("0x13A", "0");
        boot();
        answer("Confirm: Erase filesystem?", "n");
        shows({"Booting diags image..."});
        if (!key.empty()) answer("Install recovery image as image 1 or 2 (hit return to just boot image): ", key);
        shows(texts);
        ends();
        EXPECT_EQ(contains(session.output, "Install recovery image"), !key.empty()) << session.output;
        EXPECT_EQ(eeprom(0x13A), mode);
        EXPECT_EQ(eeprom(0x100), boot_slot);
        EXPECT_EQ(slot(1), image1);
    }
    EXPECT_TRUE(lacks(log(), {"flash_eraseall"}));
}

// An archive that does not fit the switch's /tmp is never started: the boot ends as a slot boot
// with an unwritable archive does, in a reboot, and no boot mode is recorded. The payload is
// never unpacked: it need not be an archive, only larger than /tmp.
TEST_F(RescuePartition, ArchiveThatCannotBeWrittenWholeIsNotStarted) {
    flash("rescue", image_of(IMAGE_DIAGNOSTICS, VERSION_1, pattern_bytes(200000, 9)));
    write_text(board + "/tmp-size", "65536");
    env({"diagnostics=diags"});
    set_eeprom("0x13A", "0");
    boot();
    answer("Confirm: Erase filesystem?", "n");
    shows({"Booting diags image...", "Failed to write application image output file."});
    ends();
    EXPECT_TRUE(lacks(session.output, {"Launching diagnostics image"}));
    EXPECT_TRUE(has(log(), {"reboot requested"}));
    EXPECT_EQ(eeprom(0x13A), 0);
}

}  // namespace
