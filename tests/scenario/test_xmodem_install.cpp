// Serial downloads end to end: lrzsz's XMODEM-1K sender on the test's side of the console, the
// switch's receiver inside the sandbox, and the installer writing what came.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image/image_header.h"
#include "rescue_console.h"
#include "support/app_tree.h"
#include "support/console_driver.h"

namespace {

using namespace rescue;

const char* const SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): ";
const char* const MENU_AGAIN = "Please select one of the following options:";

// Three erase blocks: the flash write shows 000, 033 and 066 before its closing 100.
const std::string THREE_BLOCK_PROGRESS = "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\r\n";

struct XmodemInstall : ::testing::Test {
    std::string board = rescue_board();
    ConsoleSession session;

    void TearDown() override { stop_session(session); }

    std::string package(const std::string& name, const std::vector<std::vector<uint8_t>>& images) {
        std::string path = board + "/" + name;
        write_binary_file(path, join_images(images));
        return path;
    }

    void start() {
        session = start_boot_on_socket(board, RESCUE_FAST);
        ASSERT_TRUE(expect(session, "Option? : ")) << session.output;
    }

    std::vector<uint8_t> partition(const std::string& name) { return read_binary_file(board + "/mtd/" + name + ".bin"); }

    uint8_t boot_slot() {
        std::string output;
        run_bmsim({"eeprom", board, "0x100"}, &output);
        return uint8_t(std::stoul(output, nullptr, 16));
    }

    size_t kernel_erases() { return count_of(read_text_file(board + "/devices.log"), "mtd-kernel erase "); }
};

TEST_F(XmodemInstall, KernelAndApplicationIntoTheSlotNamedAtThePrompt) {
    auto kernel = flash_image(IMAGE_KERNEL, 150000, 1);
    auto app = standard_app_image("downloaded", 0x02030405);
    std::string file = package("package.img", {kernel, app});
    start();

    ASSERT_TRUE(download_package(session, file)) << session.output;
    ASSERT_TRUE(expect(session, "Installing Kernel: " + THREE_BLOCK_PROGRESS + "Installing Application: " + SLOT_PROMPT))
        << session.output;
    send_keys(session, "2\n");
    ASSERT_TRUE(expect(session, "Installing image as image2:     \b\b\b\b100%\b\b\b\b100%\r\n\r\nImage2 updated succeeded\r\n"
                                "File processed\r\n" + std::string(MENU_AGAIN)))
        << session.output;

    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(read_binary_file(board + "/user/images/image2"), app);
    EXPECT_EQ(boot_slot(), 2);
    EXPECT_NE(read_text_file(board + "/log").find("/usr/bin/rx /tmp/image"), std::string::npos);
    // the sender's padding after the last image neither failed the package nor passed for an image
    EXPECT_EQ(session.output.find("ERROR: No valid image found"), std::string::npos) << session.output;
}

TEST_F(XmodemInstall, SlotAnsweredOnceHoldsForTheRestOfThePackage) {
    auto first = standard_app_image("first", 0x01000001);
    auto second = standard_app_image("second", 0x01000002);
    start();
    ASSERT_TRUE(download_package(session, package("two.img", {first, second}))) << session.output;
    ASSERT_TRUE(expect(session, SLOT_PROMPT)) << session.output;
    send_keys(session, "1\n");
    ASSERT_TRUE(expect(session, "File processed")) << session.output;
    EXPECT_EQ(count_of(session.output, SLOT_PROMPT), 1u) << session.output;
    EXPECT_EQ(count_of(session.output, "Image1 updated succeeded"), 2u) << session.output;
    EXPECT_EQ(read_binary_file(board + "/user/images/image1"), second);
    EXPECT_EQ(boot_slot(), 1);
}

TEST_F(XmodemInstall, BareEnterAtTheSlotPromptBootsTheDownloadAtOnce) {
    auto app = standard_app_image("downloaded", 0x02030405);
    auto kernel = flash_image(IMAGE_KERNEL, 1000, 1);
    start();
    ASSERT_TRUE(download_package(session, package("boot.img", {app, kernel}))) << session.output;
    ASSERT_TRUE(expect(session, SLOT_PROMPT)) << session.output;
    send_keys(session, "\n");
    ASSERT_TRUE(expect(session, "Booting downloaded image\r\nImage ready to boot...")) << session.output;
    ASSERT_TRUE(expect(session, "APPLICATION downloaded RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;

    EXPECT_TRUE(all_erased(partition("kernel")));
    EXPECT_EQ(boot_slot(), 0xFF);
    EXPECT_NE(read_text_file(board + "/log").find("application launched by /bin/backtrace"), std::string::npos);
}

TEST_F(XmodemInstall, SecondImageWithBadCrcVoidsTheRest) {
    auto kernel = flash_image(IMAGE_KERNEL, 1000, 1);
    auto dft = flash_image(IMAGE_DEVICETREE, 2000, 2);
    dft[500] ^= 1;
    auto rfs = flash_image(IMAGE_ROOTFS, 1000, 3);
    start();
    ASSERT_TRUE(download_package(session, package("bad.img", {kernel, dft, rfs}))) << session.output;
    char expected[96];
    snprintf(expected, sizeof expected, "Installing Device Tree: Bad crc for DFT: 0x%08x, voiding download\r\n",
             crc32_update(dft.data() + 4, uint32_t(dft.size() - 4), 0xFFFFFFFF));
    ASSERT_TRUE(expect(session, expected)) << session.output;
    ASSERT_TRUE(expect(session, MENU_AGAIN)) << session.output;

    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_TRUE(all_erased(partition("devicetree")));
    EXPECT_TRUE(all_erased(partition("rfs")));
    EXPECT_EQ(session.output.find("File processed"), std::string::npos) << session.output;
}

TEST_F(XmodemInstall, KernelOneByteOverItsLimitIsRefused) {
    start();
    ASSERT_TRUE(download_package(session, package("big.img", {flash_image(IMAGE_KERNEL, 0x300000 - 15, 4)})))
        << session.output;
    ASSERT_TRUE(expect(session, "Installing Kernel: KERNEL image is too big for flash (3145729 > 3145728)\r\n" +
                                    std::string(MENU_AGAIN)))
        << session.output;
    EXPECT_TRUE(all_erased(partition("kernel")));
    EXPECT_EQ(kernel_erases(), 0u);
}

TEST_F(XmodemInstall, FailedEraseOfTheSecondBlockVoidsTheDownload) {
    std::string fault = "fail kernel erase 2\n";
    write_binary_file(board + "/faults", std::vector<uint8_t>(fault.begin(), fault.end()));
    auto kernel = flash_image(IMAGE_KERNEL, 150000, 5);
    auto dft = flash_image(IMAGE_DEVICETREE, 1000, 6);
    start();
    ASSERT_TRUE(download_package(session, package("fault.img", {kernel, dft}))) << session.output;
    ASSERT_TRUE(expect(session, "Installing Kernel:      \b\b\b\b000%Flash Write mtd erase failed.\r\n\r\n"
                                "kernel image update failed\r\n" + std::string(MENU_AGAIN)))
        << session.output;

    // a void download: no "File processed", nothing after the failing image
    EXPECT_EQ(session.output.find("File processed"), std::string::npos) << session.output;
    EXPECT_TRUE(all_erased(partition("devicetree")));
    auto flash = partition("kernel");
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.begin() + 0x10000, flash.begin()));
}

// A cancelled transfer installs nothing, also when the previous download left its file behind.
TEST_F(XmodemInstall, CancelledTransferInstallsNothing) {
    auto kernel = flash_image(IMAGE_KERNEL, 1000, 7);
    start();
    ASSERT_TRUE(download_package(session, package("kernel.img", {kernel}))) << session.output;
    ASSERT_TRUE(expect(session, "File processed")) << session.output;
    ASSERT_TRUE(expect(session, "Option? : ")) << session.output;
    size_t erases = kernel_erases();

    // the operator waits past a reminder, presses Enter, and the sender cancels
    send_keys(session, "x");
    ASSERT_TRUE(expect(session, "Waiting for the <Enter> key to be hit before the download can start...")) << session.output;
    send_keys(session, "\r");
    ASSERT_TRUE(expect(session, "rx: ready to receive /tmp/image")) << session.output;
    // the receiver flushes its input before it asks for the first block with a NAK
    ASSERT_TRUE(expect(session, "\x15", 15)) << session.output;
    send_keys(session, std::string(8, '\x18'));
    ASSERT_TRUE(press_enter_after(session, "Change the baud rate back to 9600 bps, hit the <ENTER> key", "\n",
                                  "Waiting for the <ENTER> key to be hit...", MENU_AGAIN))
        << session.output;

    // the receiver leaves the empty file it opened, and nothing older
    std::string after_cancel = session.output.substr(session.output.rfind("rx: ready to receive"));
    EXPECT_NE(after_cancel.find("File processed\r\nERROR: No valid image found"), std::string::npos) << after_cancel;
    EXPECT_EQ(after_cancel.find("Installing"), std::string::npos) << after_cancel;
    EXPECT_EQ(kernel_erases(), erases);
}

// The switch's stubs with a receiver that fails before it receives anything while the board
// holds the file rx.fail, as a receiver that cannot start or is refused would.
std::string stubs_with_failing_receiver(const std::string& board) {
    namespace fs = std::filesystem;
    fs::path stubs = fs::path(board) / "rootfs";
    fs::copy(fs::path(__FILE__).parent_path() / "../../sim/rootfs", stubs, fs::copy_options::recursive);
    std::string receiver = read_text_file((stubs / "usr/bin/rx").string());
    size_t body = receiver.find('\n') + 1;
    receiver.insert(body, "if [ -e /sim/rx.fail ]; then echo \"$0: cannot start\" >&2; exit 1; fi\n");
    write_binary_file((stubs / "usr/bin/rx").string(), std::vector<uint8_t>(receiver.begin(), receiver.end()));
    return stubs.string();
}

// What an earlier download left in /tmp/image is never installed by a later one that failed.
TEST_F(XmodemInstall, FailedReceiverInstallsNothingOlder) {
    setenv("BMSIM_ROOTFS", stubs_with_failing_receiver(board).c_str(), 1);
    start();
    unsetenv("BMSIM_ROOTFS");
    ASSERT_TRUE(download_package(session, package("kernel.img", {flash_image(IMAGE_KERNEL, 1000, 7)})))
        << session.output;
    ASSERT_TRUE(expect(session, "File processed")) << session.output;
    size_t erases = kernel_erases();

    write_binary_file(board + "/rx.fail", {});
    watch(session, 0.2);
    send_keys(session, "x");
    ASSERT_TRUE(press_enter_after(session, "before initiating the download.", "\r",
                                  "Waiting for the <Enter> key to be hit before the download can start...",
                                  "rx: cannot start"))
        << session.output;
    ASSERT_TRUE(press_enter_after(session, "Change the baud rate back to 9600 bps, hit the <ENTER> key", "\n",
                                  "Waiting for the <ENTER> key to be hit...", MENU_AGAIN))
        << session.output;
    std::string after_failure = session.output.substr(session.output.rfind("rx: cannot start"));
    EXPECT_EQ(after_failure.find("Extracting images"), std::string::npos) << after_failure;
    EXPECT_EQ(kernel_erases(), erases);
}

}  // namespace
