// The rescue menu on the simulated board's console: its letters, the interrupt key, reboot and
// the user file-system erase before the diagnostics boot.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "rescue_console.h"
#include "support/console_driver.h"

namespace {

using namespace rescue;

const std::string OPTIONS =
    "Please select one of the following options:\r\n"
    "\tX) Use xmodem 1K to serial download an image\r\n"
    "\tR) Reboot\r\n"
    "\tE) Exit\r\n"
    "\r\nOption? : ";
const std::string ERASE_QUESTION =
    "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ";

struct RescueMenu : ::testing::Test {
    std::string board = rescue_board();
    ConsoleSession session;

    void SetUp() override {
        session = start_boot(board, RESCUE_FAST);
        ASSERT_TRUE(expect(session, "Entering Rescue Mode.\r\n" + OPTIONS)) << session.output;
    }
    void TearDown() override { stop_session(session); }

    // One key at the prompt; the console shows what follows it up to the next text awaited.
    void press(const std::string& key) {
        watch(session, 0.2);
        send_keys(session, key);
    }

    std::string since(size_t from) { return session.output.substr(from); }

    std::vector<std::string> board_log_lines() {
        std::vector<std::string> lines;
        std::string text = read_text_file(board + "/log");
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            lines.push_back(text.substr(at, end - at));
            at = end == std::string::npos ? text.size() : end + 1;
        }
        return lines;
    }
};

TEST_F(RescueMenu, UnknownLetterGetsOneLineAndThePromptOnly) {
    press("q");
    ASSERT_TRUE(expect(session, "q\r\nunknown option \"Q\". Please try again\r\n\r\nOption? : ")) << session.output;
    size_t mark = session.output.size();
    press("7");
    ASSERT_TRUE(expect(session, "7\r\nunknown option \"7\". Please try again\r\n\r\nOption? : ")) << session.output;
    EXPECT_EQ(since(mark).find("Please select"), std::string::npos) << since(mark);
}

TEST_F(RescueMenu, HiddenVersionLetterInEitherCaseShowsTheListAndTheMenuAgain) {
    press("v");
    ASSERT_TRUE(expect(session, "v\r\nInstalled images versions: \r\n")) << session.output;
    ASSERT_TRUE(expect(session, "\tOS image 2  : 0.0.0.0\r\n" + OPTIONS)) << session.output;
    press("V");
    ASSERT_TRUE(expect(session, "V\r\nInstalled images versions: \r\n")) << session.output;
    ASSERT_TRUE(expect(session, OPTIONS)) << session.output;
    EXPECT_EQ(count_of(session.output, "Entering Rescue Mode."), 1u) << session.output;
}

TEST_F(RescueMenu, HiddenUsbLetterComesBackToTheMenu) {
    press("u");
    ASSERT_TRUE(expect(session, "u\r\n")) << session.output;
    ASSERT_TRUE(expect(session, "(q to quit): ", 20)) << session.output;
    press("q\r");
    ASSERT_TRUE(expect(session, OPTIONS, 20)) << session.output;
}

TEST_F(RescueMenu, InterruptAtThePromptDropsTheKeyAndPromptsAgain) {
    press("\x03");
    ASSERT_TRUE(expect(session, std::string(1, '\0') + "\r\n\r\nOption? : ")) << session.output;
    // the flag is cleared: the next key is taken as it comes
    press("v");
    ASSERT_TRUE(expect(session, "v\r\nInstalled images versions: ")) << session.output;
}

TEST_F(RescueMenu, ExitLeavesTheMenuAndTheBootGoesOn) {
    press("e");
    ASSERT_TRUE(expect(session, "e\r\nBooting image '1'")) << session.output;
    // no image in either slot: the image boot gives up and opens the menu once more
    ASSERT_TRUE(expect(session, "Entering Rescue Mode.\r\n" + OPTIONS, 20)) << session.output;
    press("R");
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_NE(read_text_file(board + "/log").find("reboot requested"), std::string::npos);
}

TEST_F(RescueMenu, EraseRunsItsFourStepsThenBootsTheDiagnosticsImage) {
    write_binary_file(board + "/user/images/image1", {1, 2, 3});
    write_binary_file(board + "/user/images/rejected", {4});
    write_binary_file(board + "/user/config", {5});
    press("d");
    ASSERT_TRUE(expect(session, "d\r\n" + ERASE_QUESTION)) << session.output;
    press("y");
    ASSERT_TRUE(expect(session, "\r\nunmount filesystem\r\n\r\nErasing filesystem for clean install\r\nMounting...\r\n"
                                "creating default filesystem\r\nBooting diags image...\r\n"))
        << session.output;
    // the rescue partition holds no image: its boot returns, and so does the menu
    ASSERT_TRUE(expect(session, OPTIONS, 20)) << session.output;

    std::vector<std::string> wanted = {"/bin/umount /user", "/usr/sbin/flash_eraseall /dev/mtd-user-char",
                                       "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"};
    std::vector<std::string> lines = board_log_lines();
    auto at = std::find(lines.begin(), lines.end(), wanted[0]);
    ASSERT_NE(at, lines.end()) << read_text_file(board + "/log");
    EXPECT_EQ(std::vector<std::string>(at, std::min(at + 3, lines.end())), wanted) << read_text_file(board + "/log");
    ASSERT_TRUE(std::filesystem::is_directory(board + "/user/images"));
    EXPECT_TRUE(std::filesystem::is_empty(board + "/user/images"));
    EXPECT_FALSE(std::filesystem::exists(board + "/user/config"));
}

TEST_F(RescueMenu, EraseAnsweredWithAnyOtherKeyErasesNothingButStillBootsDiagnostics) {
    write_binary_file(board + "/user/images/image1", {1, 2, 3});
    press("D");
    ASSERT_TRUE(expect(session, "D\r\n" + ERASE_QUESTION)) << session.output;
    press("n");
    ASSERT_TRUE(expect(session, "\r\nBooting diags image...\r\n")) << session.output;
    ASSERT_TRUE(expect(session, OPTIONS, 20)) << session.output;
    EXPECT_EQ(read_text_file(board + "/log").find("flash_eraseall"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(board + "/user/images/image1"));
}

}  // namespace
