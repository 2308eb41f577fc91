// Booting the slot images on the simulated board: each way a slot can fail, what the boot does
// next, and the boot mode recorded in the EEPROM.
#include <gtest/gtest.h>

#include "image/image_header.h"
#include "slot_board.h"

namespace {

using namespace slot_board;

struct SlotBoot : ::testing::Test {
    std::string board = new_board();  // its EEPROM is all 0xFF, the boot mode cell included

    void boot_slot(int slot) { set_eeprom(board, "0x100", std::to_string(slot)); }
};

TEST_F(SlotBoot, GoodImageIsStartedAndItsSlotRecorded) {
    put_slot(board, 1, standard_app_image("one", VERSION_ONE));
    put_slot(board, 2, standard_app_image("two", VERSION_TWO));
    boot_slot(2);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Booting image '2'")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION two RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 2);
    EXPECT_TRUE(contains(board_log(board), "ended: application launched by /bin/backtrace, exit status 0"))
        << board_log(board);
}

// A missing slot file is replaced by the other slot's file inside the same attempt: no second
// "Booting image" line, and the slot actually started is the one recorded.
TEST_F(SlotBoot, MissingSlotFileCrossesOverToTheOtherSlot) {
    struct Case { int asked, present; const char* message; const char* label; };
    for (Case c : {Case{2, 1, "Failed to open Application image 2. Trying image 1.", "one"},
                   Case{1, 2, "Failed to open Application image 1. Trying image 2.", "two"}}) {
        SCOPED_TRACE(c.message);
        std::string fresh = new_board();
        put_slot(fresh, c.present, standard_app_image(c.label, VERSION_ONE));
        set_eeprom(fresh, "0x100", std::to_string(c.asked));
        ConsoleSession session = start_boot(fresh, FAST);
        EXPECT_TRUE(expect(session, c.message)) << session.output;
        EXPECT_TRUE(expect(session, std::string("APPLICATION ") + c.label + " RUNNING")) << session.output;
        EXPECT_EQ(wait_exit(session), 0) << session.output;
        EXPECT_EQ(count_of(session.output, "Booting image '"), 1u) << session.output;
        EXPECT_EQ(eeprom_byte(fresh, "0x13A"), c.present);
    }
}

TEST_F(SlotBoot, BothSlotFilesMissingOpenRescueMenuThenShellThenReboot) {
    set_env(board, {"shell=on"});
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Failed to open Application image 1. Trying image 2.")) << session.output;
    EXPECT_TRUE(expect(session, "Failed to open Application image 2.")) << session.output;
    ASSERT_TRUE(expect(session, "Entering Rescue Mode.")) << session.output;
    ASSERT_TRUE(expect(session, "Option? : ")) << session.output;
    send_keys(session, "E");
    // The shell's own output, not the echo of the command line, shows that it ran.
    send_keys(session, "echo shell-$((6*7))\nexit\n");
    EXPECT_TRUE(expect(session, "shell-42")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(count_of(session.output, "Booting image '"), 1u) << session.output;
    EXPECT_TRUE(contains(board_log(board), "reboot requested")) << board_log(board);
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 0xFF);
}

TEST_F(SlotBoot, NoBootableImageOnFirstAttemptTriesTheOtherSlot) {
    put_slot(board, 1, kernel_image());
    put_slot(board, 2, standard_app_image("two", VERSION_TWO));
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Image has invalid header 0x3504754. (0x6504754)")) << session.output;
    EXPECT_TRUE(expect(session, "Image1 has invalid header... trying Image2.")) << session.output;
    EXPECT_TRUE(expect(session, "Booting image '2'")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION two RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 2);
}

TEST_F(SlotBoot, NoBootableImageOnSecondAttemptOpensRescueMenuThenReboots) {
    put_slot(board, 1, kernel_image());
    put_slot(board, 2, kernel_image());
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Image1 has invalid header... trying Image2.")) << session.output;
    EXPECT_TRUE(expect(session, "Booting image '2'")) << session.output;
    EXPECT_TRUE(expect(session, "No valid application image found. Trying rescue image")) << session.output;
    ASSERT_TRUE(expect(session, "Option? : ")) << session.output;
    send_keys(session, "E");
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_FALSE(contains(session.output, "Image2 has invalid header")) << session.output;
    EXPECT_TRUE(contains(board_log(board), "reboot requested")) << board_log(board);
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 0xFF);
}

TEST_F(SlotBoot, CrcMismatchOnFirstAttemptTriesTheOtherSlot) {
    put_slot(board, 1, spoiled(standard_app_image("one", VERSION_ONE)));
    put_slot(board, 2, standard_app_image("two", VERSION_TWO));
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Image1 CRC failed, trying Image2 now.")) << session.output;
    EXPECT_TRUE(expect(session, "Booting image '2'")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION two RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 2);
}

// A second CRC failure is final: no rescue menu, only the optional shell and the reboot.
TEST_F(SlotBoot, CrcMismatchOnSecondAttemptSkipsRescueMenu) {
    set_env(board, {"shell=on"});
    put_slot(board, 1, spoiled(standard_app_image("one", VERSION_ONE)));
    put_slot(board, 2, spoiled(standard_app_image("two", VERSION_TWO)));
    boot_slot(2);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Image2 CRC failed, trying Image1 now.")) << session.output;
    EXPECT_TRUE(expect(session, "Booting image '1'")) << session.output;
    EXPECT_TRUE(expect(session, "Both image1 and image2 failed.")) << session.output;
    send_keys(session, "echo shell-$((6*7))\nexit\n");
    EXPECT_TRUE(expect(session, "shell-42")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_FALSE(contains(session.output, "Entering Rescue Mode.")) << session.output;
    EXPECT_FALSE(contains(session.output, "Image1 CRC failed")) << session.output;
    EXPECT_TRUE(contains(board_log(board), "reboot requested")) << board_log(board);
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 0xFF);
}

TEST_F(SlotBoot, PackageOfKernelThenApplicationStartsTheApplication) {
    std::vector<uint8_t> package = kernel_image();
    std::vector<uint8_t> application = standard_app_image("packed", VERSION_ONE);
    package.insert(package.end(), application.begin(), application.end());
    put_slot(board, 1, package);
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION packed RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 1);
}

// The diagnostics program is moved into place before the install script runs.
TEST_F(SlotBoot, DiagnosticsImageIsStartedWithDiagsSet) {
    std::vector<AppFile> tree = tree_with("diag", {
        {"home/bin/mp.elf.strip", "-"},
        {"home/bin/install.sh", "#!/bin/sh\n[ -x /tmp/home/bin/mp.elf.strip ] && echo \"install sees the program\"\n", true},
        {"mpdiag.elf.strip", "#!/bin/sh\necho \"DIAGNOSTICS $APP_GREETING RUNNING\"\n", true},
    });
    put_slot(board, 1, image_of(0x06504754, VERSION_ONE, make_tarball(tree)));
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "install diags image")) << session.output;
    EXPECT_TRUE(expect(session, "install sees the program")) << session.output;
    EXPECT_TRUE(expect(session, "DIAGNOSTICS hello-from-diag RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(eeprom_byte(board, "0x13A"), 1);
}

TEST_F(SlotBoot, ApplicationImageDoesNotInstallDiagnostics) {
    put_slot(board, 1, standard_app_image("one", VERSION_ONE));
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION one RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_FALSE(contains(session.output, "install diags image")) << session.output;
}

// Lengths that the file cannot hold are a failed read: the CRC-failure path, before any
// memory of the claimed size is taken.
TEST_F(SlotBoot, ImageLongerThanItsFileTakesTheCrcFailurePath) {
    std::vector<uint8_t> truncated = standard_app_image("one", VERSION_ONE);
    truncated.resize(truncated.size() - 10);
    std::vector<uint8_t> huge = standard_app_image("one", VERSION_ONE);
    write_be32(&huge[4], 0xFFFFFF00);
    for (const auto& image : {truncated, huge}) {
        std::string fresh = new_board();
        put_slot(fresh, 1, image);
        put_slot(fresh, 2, standard_app_image("two", VERSION_TWO));
        set_eeprom(fresh, "0x100", "1");
        ConsoleSession session = start_boot(fresh, FAST);
        EXPECT_TRUE(expect(session, "Image1 CRC failed, trying Image2 now.")) << session.output;
        EXPECT_TRUE(expect(session, "APPLICATION two RUNNING")) << session.output;
        EXPECT_EQ(wait_exit(session), 0) << session.output;
        EXPECT_EQ(eeprom_byte(fresh, "0x13A"), 2);
    }
}

// Header and payload lengths whose sum wraps past 2^32 to 48 bytes, with a CRC made to match
// those 48 bytes: a wrapped total would pass the check and write 4 GiB from a 48-byte buffer.
// The image is refused, and the message shows the header that was found there.
TEST_F(SlotBoot, TotalLengthWrappingPast4GiBIsRefused) {
    ImageSpec spec;
    spec.format = 2;
    spec.header_len = 0x40;
    std::vector<uint8_t> image = build_image(spec, std::vector<uint8_t>(32, 0x5A));
    write_be32(&image[4], 0xFFFFFFF0);
    write_be32(&image[0], crc32_update(&image[4], 48 - 4, 0xFFFFFFFF));
    put_slot(board, 1, image);
    put_slot(board, 2, standard_app_image("two", VERSION_TWO));
    boot_slot(1);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Image has invalid header 0x81504754. (0x6504754)")) << session.output;
    EXPECT_TRUE(expect(session, "Image1 has invalid header... trying Image2.")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION two RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
}

}  // namespace
