// Serial downloads end to end: lrzsz's XMODEM-1K sender on the test's side of the console, the
// switch's receiver inside the sandbox, and the installer writing what came.
// Damaged and oversized images are covered by the installer's unit tests.
// Faults tried: an earlier /tmp/image left in place before the receiver runs ->
// XmodemInstall.DownloadIsVoidedOrInstalledIntoTheSlotNamedOnceOrIgnoredUnreceivedOrBooted fails.
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include "scenario_board.h"

namespace {

const std::string SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): ";
const std::string MENU_AGAIN = "Please select one of the following options:";
const std::string SETUP_PROMPT = "before initiating the download.";
const std::string SETUP_REMINDER = "Waiting for the <Enter> key to be hit before the download can start...";
const std::string RESTORE_PROMPT = "Change the baud rate back to 9600 bps, hit the <ENTER> key";
const std::string RESTORE_REMINDER = "Waiting for the <ENTER> key to be hit...";
const std::string ONE_PIECE_TO_SLOT_2 =
    "Installing image as image2:     \b\b\b\b100%\b\b\b\b100%\r\n\r\nImage2 updated succeeded\r\n";

struct XmodemInstall : Scenario {
    void SetUp() override { env({"diagnostics=rescue"}); }

    // lrzsz's sender (`sx -k FILE`) against the console until it ends, through a socket pair that
    // the test relays, so that its terminal settings never reach the console. The Enter that
    // starts the receiver goes once the sender listens; one lost to the port's flush shows as the
    // reminder, and is sent again. The receiver flushes its input right after its first request,
    // so the sender's first block is held back a moment: a block lost there costs the receiver's
    // ten-second time-out.
    int send_with_sx(const std::string& file) {
        signal(SIGPIPE, SIG_IGN);  // a side that ends first must not take the test down with it
        ConsoleSession sx = ConsoleSession::start({"sh", "-c", "exec sx -k \"$0\" 2>/dev/null", file});
        usleep(300000);
        session.send("\r");
        size_t reminder_from = session.mark;
        for (bool sender_open = true, first_block = true; sender_open;) {
            pollfd fds[2] = {{session.master, POLLIN, 0}, {sx.master, POLLIN, 0}};
            if (poll(fds, 2, 200) <= 0) continue;
            char buffer[8192];
            ssize_t n = 0;
            if ((fds[0].revents & (POLLIN | POLLHUP)) && (n = read(session.master, buffer, sizeof buffer)) > 0) {
                session.output.append(buffer, size_t(n));
                sx.send(std::string(buffer, size_t(n)));
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                sender_open = (n = read(sx.master, buffer, sizeof buffer)) > 0;
                if (sender_open && std::exchange(first_block, false)) usleep(500000);
                if (sender_open) session.send(std::string(buffer, size_t(n)));
            }
            size_t reminder = session.output.find(SETUP_REMINDER, reminder_from);
            if (!contains(session.output.substr(reminder_from), "rx: ready to receive") &&
                reminder != std::string::npos) {
                session.send("\r");
                reminder_from = reminder + 1;
            }
        }
        return sx.wait_exit(30);
    }

    // Presses key once the program waits after the prompt: the port is flushed right after it, so
    // a key sent too early is lost; a reminder means it was, and it is sent again.
    bool press_enter_after(const std::string& prompt, const std::string& key, const std::string& reminder,
                           const std::string& next) {
        if (!shows({prompt})) return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            press(key);
            size_t sent_at = session.output.size();
            for (int wait = 0; wait < 100; ++wait) {
                if (contains(session.output.substr(session.mark), next)) return shows({next});
                if (contains(session.output.substr(sent_at), reminder)) break;
                watch(0.1);
            }
        }
        return shows({next}, 0);
    }

    // The operator's side of a serial download of the images as one package: X at the menu, Enter
    // after the 115200 prompt, the file sent with sx, Enter after the 9600 prompt.
    bool download(const std::vector<Bytes>& images) {
        write_binary_file(board + "/package.img", joined(images));
        if (!answer("Option? : ", "x") || !shows({SETUP_PROMPT})) return false;
        EXPECT_EQ(send_with_sx(board + "/package.img"), 0);
        return press_enter_after(RESTORE_PROMPT, "\n", RESTORE_REMINDER, "Extracting images");
    }

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
