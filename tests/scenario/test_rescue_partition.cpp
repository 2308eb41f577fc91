// The image of the rescue partition (diagnostics or recovery), reached through the diagnostics
// boot that follows the erase question.
#include "scenario_board.h"

namespace {

std::vector<uint8_t> diagnostics_image(int format = 1) {
    std::vector<AppFile> tree = standard_app_tree("diag");
    tree.push_back({"mpdiag.elf.strip", "#!/bin/sh\necho \"DIAGNOSTICS RUNNING\"\n", true});
    return image_of(IMAGE_DIAGNOSTICS, VERSION_1, make_tarball(tree), format);
}

using RescuePartition = Scenario;

// The erase is declined each time (any key but y), which erases nothing. A diagnostics image
// starts with boot mode 4, in either header format. A recovery image is booted as it is on a
// bare Return or at the end of input, or copied into the slot named, which becomes the boot
// slot. A bad CRC, lengths that wrap past 2^32 and an image longer than the partition all fail
// as a CRC mismatch, and the normal boot follows.
TEST_F(RescuePartition, ImageIsStartedCopiedOrRefused) {
    std::vector<uint8_t> slot1 = app_image("slot1");
    std::vector<uint8_t> recovery = app_image("recovery", VERSION_2);
    const Bytes wrapping = claiming(diagnostics_image(), 0xFFFFFFF2);  // total_len = len + 16 wraps to 2
    const Bytes too_long = claiming(diagnostics_image(), 0x7FFFFFF0);  // far beyond the rescue partition
    const std::vector<std::string> diagnostics = {"Launching diagnostics image", "DIAGNOSTICS RUNNING"};
    const std::vector<std::string> just_boot = {
        "Booting recovery image. You will need to download and install an image before rebooting",
        "APPLICATION recovery RUNNING"};
    const std::vector<std::string> refused = {"Image CRC failed. Quitting", "APPLICATION slot1 RUNNING"};
    // the image, the answer to the recovery image's question (if it is asked), the texts shown
    struct Case {
        Bytes image;
        std::string key;
        std::vector<std::string> texts;
    };
    const Case cases[] = {{diagnostics_image(1), "", diagnostics},
                          {diagnostics_image(2), "", diagnostics},
                          {recovery, "\r", just_boot},
                          {recovery, "\x04", just_boot},
                          {spoiled(diagnostics_image()), "", refused},
                          {wrapping, "", refused},
                          {too_long, "", refused}};
    put_slot(board, 1, slot1);
    set_eeprom(board, "0x100", "2");
    bmsim_ok({"env", board, "diagnostics=diags"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.texts[0] + " after the key '" + c.key + "'");
        flash_partition(board, "rescue", c.image);
        set_eeprom(board, "0x13A", "0");
        boot();
        answer("Confirm: Erase filesystem?", "n");
        shows({"Booting diags image..."});
        if (!c.key.empty()) answer("Install recovery image as image 1 or 2 (hit return to just boot image): ", c.key);
        shows(c.texts);
        ends();
        EXPECT_EQ(contains(session.output, "Install recovery image"), !c.key.empty()) << session.output;
        EXPECT_EQ(eeprom_byte(board, 0x13A), c.texts == refused ? 1 : 4);
        EXPECT_EQ(eeprom_byte(board, 0x100), 2);
        EXPECT_EQ(read_binary_file(slot_path(board, 1)), slot1);
    }
    EXPECT_TRUE(lacks(log(), {"flash_eraseall"}));

    flash_partition(board, "rescue", recovery);
    set_eeprom(board, "0x13A", "0");
    boot();
    answer("Confirm: Erase filesystem?", "n");
    answer("(hit return to just boot image): ", "1\r");
    shows({"Installing recovery image as image1...", "Setting boot image to 1", "APPLICATION recovery RUNNING"});
    ends();
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), recovery);
    EXPECT_EQ(eeprom_byte(board, 0x100), 1);
    EXPECT_EQ(eeprom_byte(board, 0x13A), 1);
}

}  // namespace
