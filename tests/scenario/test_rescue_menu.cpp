// The rescue menu on the simulated board's console: its letters, the interrupt key, the
// installed version report, reboot and the user file-system erase before the diagnostics boot.
// Leaving the menu with E is shown by the USB stick's chooser (UsbStick) and the boot sequence.
// Faults tried: the quit key's signal left at its default -> the board ends by SIGQUIT at the
// menu (RescueMenu.LettersInEitherCaseTheEraseHiddenOnesAndTheInterruptKey).

#include "scenario_board.h"

namespace {

const std::string OPTIONS =
    "Please select one of the following options:\r\n"
    "\tX) Use xmodem 1K to serial download an image\r\n"
    "\tR) Reboot\r\n"
    "\tE) Exit\r\n"
    "\r\nOption? : ";

struct RescueMenu : Scenario {
    void SetUp() override { env({"diagnostics=rescue"}); }
};

// One visit to the menu. Unknown letters get one line and the prompt. The erase asks first, runs
// its four steps and boots the rescue partition's image: there is none, so the menu comes back.
// The images flashed and put into slot 1 meanwhile are listed by the hidden V: the boot loader's
// version from the copy at byte 240 of its partition (bytes 12 to 15 hold payload bytes of another
// value), a missing slot as 0.0.0.0, and nothing of the rescue partition's image. Ctrl-C drops the
// key; Ctrl-\ and Ctrl-Z do nothing; R reboots.
TEST_F(RescueMenu, LettersInEitherCaseTheEraseHiddenOnesAndTheInterruptKey) {
    put_slot(1, {1, 2, 3});
    write_binary_file(board + "/user/images/rejected", {4});
    write_binary_file(board + "/user/config", {5});
    boot();
    answer("Entering Rescue Mode.\r\n" + OPTIONS, "q");
    shows({"q\r\nunknown option \"Q\". Please try again\r\n\r\nOption? : "});
    size_t mark = session.output.size();
    press("7");
    shows({"7\r\nunknown option \"7\". Please try again\r\n\r\nOption? : "});
    EXPECT_TRUE(lacks(session.output.substr(mark), {"Please select"}));
    press("D");
    answer("D\r\nConfirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ", "y");
    shows(
        {"\r\nunmount filesystem\r\n\r\nErasing filesystem for clean install\r\nMounting...\r\n"
         "creating default filesystem\r\nBooting diags image...\r\n",
         "Image not found... ", OPTIONS});
    EXPECT_TRUE(has(log(), {"\n/bin/umount /user\n/usr/sbin/flash_eraseall /dev/mtd-user-char\n"
                            "/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n"}));
    ASSERT_TRUE(fs::is_directory(board + "/user/images"));
    EXPECT_TRUE(fs::is_empty(board + "/user/images"));
    EXPECT_FALSE(fs::exists(board + "/user/config"));

    Bytes loader_image =
        build_image({.type = IMAGE_BOOTLOADER, .id = 0x02000001, .embed_header_copy = true}, pattern_bytes(4096, 9));
    flash("uboot", std::vector<uint8_t>(loader_image.begin() + 16, loader_image.end()));
    flash("rfs", flash_image(IMAGE_ROOTFS, 100, 1, 0x80FF0A00));
    flash("kernel", flash_image(IMAGE_KERNEL, 100, 2, 0x01020304));
    flash("rescue", flash_image(IMAGE_DIAGNOSTICS, 100, 3, 0x09090909));
    put_slot(1, app_image("one", 0x05060708));
    press("v");
    shows(
        {"v\r\nInstalled images versions: \r\n"
         "\tBoot image  : 2.0.0.1\r\n"
         "\tRFS image   : 128.255.10.0\r\n"
         "\tKernel image: 1.2.3.4\r\n"
         "\tDFT image   : 255.255.255.255\r\n"
         "\tOS image 1  : 5.6.7.8\r\n"
         "\tOS image 2  : 0.0.0.0\r\n" +
         OPTIONS});
    press("\x03");
    shows({std::string(1, '\0') + "\r\n\r\nOption? : "});
    // the interrupt is forgotten: the next key is taken as it comes; the quit and stop keys
    // neither end nor stop the boot manager
    press("\x1c\x1a");
    press("V");
    shows({"V\r\nInstalled images versions: \r\n", OPTIONS});
    press("r");
    ends();
    EXPECT_TRUE(has(log(), {"reboot requested"}));
}

}  // namespace
