// Serial downloads end to end: lrzsz's XMODEM-1K sender on the test's side of the console, the
// switch's receiver inside the sandbox, and the installer writing what came.
// Damaged and oversized images are covered by the installer's unit tests.
// Faults tried: an earlier /tmp/image left in place before the receiver runs ->
// XmodemInstall.DownloadIsVoidedOrInstalledIntoTheSlotNamedOnceOrIgnoredUnreceivedOrBooted fails.
#include "xmodem_sender.h"

namespace {

struct XmodemInstall : XmodemScenario {
    void SetUp() override { env({"diagnostics=rescue"}); }
    size_t kernel_erases() { return count_of(read_text_file(board + "/devices.log"), "mtd-kernel erase "); }
};

// An erase failing on the second of three blocks voids the rest of its download; the first block
// keeps its new content. The slot named once holds for the rest of the package. The sender's
// padding after the last image neither fails the package nor passes for an image. What that
// download left in /tmp/image is never installed by a later one that was cancelled or whose
// receiver failed (the board's rx.fail). A bare Enter at the slot prompt boots the downloaded
// application at once, without installing what follows it. The console is a socket, whose bytes
// bmsim relays unchanged both ways (on a terminal it takes Ctrl-] as its stop key, which any
// binary transfer holds sooner or later).
TEST_F(XmodemInstall, DownloadIsVoidedOrInstalledIntoTheSlotNamedOnceOrIgnoredUnreceivedOrBooted) {
    write_text(board + "/faults", "fail kernel erase 2\n");
    const Bytes broken = flash_image(IMAGE_KERNEL, 150000, 5), kernel = flash_image(IMAGE_KERNEL, 150000, 1);
    const Bytes second = app_image("second", 0x02030406);
    boot({"--timeout", "110"});
    ASSERT_TRUE(download({broken, flash_image(IMAGE_DEVICETREE, 1000, 6)}));
    shows({"Installing Kernel:      \b\b\b\b000%Flash Write mtd erase failed.\r\n\r\nkernel image update failed\r\n" +
           MENU_AGAIN});
    EXPECT_TRUE(all_erased(partition("devicetree")));
    EXPECT_TRUE(starts_with(partition("kernel"), Bytes(broken.begin(), broken.begin() + 0x10000)));
    EXPECT_TRUE(lacks(session.output, {"File processed"}));

    fs::remove(board + "/faults");
    ASSERT_TRUE(download({kernel, app_image("first", 0x02030405), second}));
    // three erase blocks: the flash write shows 000, 033 and 066 before its closing 100
    const std::string three_blocks = "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\r\n";
    answer("Installing Kernel: " + three_blocks + "Installing Application: " + SLOT_PROMPT, "2\n");
    shows({ONE_PIECE_TO_SLOT_2 + "Installing Application: " + ONE_PIECE_TO_SLOT_2 + "File processed\r\n" + MENU_AGAIN});
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(slot(2), second);
    EXPECT_EQ(eeprom(0x100), 2);
    size_t erases = kernel_erases();

    // the operator waits past a reminder, presses Enter, and the sender cancels
    answer("Option? : ", "x");
    answer(SETUP_REMINDER, "\r");
    // the receiver flushes its input right after it asks for the first block with a NAK: the
    // sender cancels until the receiver gives up
    shows({"rx: ready to receive /tmp/image", "\x15"});
    for (int attempt = 0; attempt < 20 && !contains(session.output.substr(session.mark), RESTORE_PROMPT); ++attempt) {
        session.send(std::string(8, '\x18'));
        watch(1);
    }
    ASSERT_TRUE(press_enter_after(RESTORE_PROMPT, "\n", RESTORE_REMINDER, MENU_AGAIN));
    // the receiver leaves the empty file it opened, and nothing older
    std::string after_cancel = session.output.substr(session.output.rfind("rx: ready to receive"));
    EXPECT_TRUE(has(after_cancel, {"File processed\r\nERROR: No valid image found"}));
    EXPECT_TRUE(lacks(after_cancel, {"Installing"}));

    write_text(board + "/rx.fail", "");
    answer("Option? : ", "x");
    ASSERT_TRUE(press_enter_after(SETUP_PROMPT, "\r", SETUP_REMINDER, "rx: cannot start"));
    ASSERT_TRUE(press_enter_after(RESTORE_PROMPT, "\n", RESTORE_REMINDER, MENU_AGAIN));
    std::string after_failure = session.output.substr(session.output.rfind("rx: cannot start"));
    EXPECT_TRUE(lacks(after_failure, {"Extracting images"}));
    EXPECT_EQ(kernel_erases(), erases);

    fs::remove(board + "/rx.fail");
    ASSERT_TRUE(download({app_image("downloaded", 0x02030407), flash_image(IMAGE_KERNEL, 1000, 2)}));
    answer(SLOT_PROMPT, "\n");
    shows({"Booting downloaded image\r\nImage ready to boot...", "APPLICATION downloaded RUNNING"});
    ends();
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(slot(2), second);
}

}  // namespace
