// The rejected-image list on the simulated board: images on the stick are known by their MD5
// digest, whatever their file name, and a listed replacement is loaded only with consent.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "stick_board.h"

namespace {

using namespace stick_board;

struct RejectedList : ::testing::Test {
    std::string board = board_with_slot1_app();
    std::vector<uint8_t> slot1 = read_binary_file(slot_path(board, 1));
    std::vector<uint8_t> replacement = app_image("replacement", VERSION_2);

    void SetUp() override {
        allow_usb_boot(board);
        insert_stick(board);
    }
};

// The list names the image by its content: seen as the stick's application image, it is
// recognised again under a replacement's name.
TEST_F(RejectedList, SameImageUnderAnotherNameIsRecognised) {
    put_on_stick(board, "NXR4417_OS.img", replacement);
    ConsoleSession first = start_boot(board, FAST);
    EXPECT_TRUE(expect(first, "APPLICATION replacement RUNNING", 30)) << first.output;
    wait_exit(first);
    ASSERT_EQ(rejected_entries(board).size(), 1u);

    std::filesystem::rename(board + "/usb/NXR4417_OS.img", board + "/usb/NXR4417_replace1_OS.img");
    ConsoleSession second = start_boot(board, FAST);
    EXPECT_TRUE(expect(second, "Replacement USB image is in rejected list.")) << second.output;
    EXPECT_TRUE(expect(second, "Would you still like to load it? (y/n) ")) << second.output;
    send_keys(second, "y\r");
    EXPECT_TRUE(expect(second, "Continuing with replacement USB image...")) << second.output;
    EXPECT_TRUE(expect(second, "Image1 has been successfully replaced")) << second.output;
    EXPECT_TRUE(expect(second, "APPLICATION replacement RUNNING", 30)) << second.output;
    wait_exit(second);
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), replacement);
    EXPECT_EQ(rejected_entries(board).size(), 1u);
}

// No answer ends the whole check: the other replacement and the stick's application image are
// not looked at, and the list is left as it was.
TEST_F(RejectedList, DeclinedReplacementEndsTheCheck) {
    put_on_stick(board, "NXR4417_replace2_OS.img", replacement);
    put_on_stick(board, "NXR4417_replace1_OS.img", app_image("other", VERSION_2));
    put_on_stick(board, "NXR4417_OS.img", app_image("usb"));
    list_as_rejected(board, "NXR4417_replace2_OS.img");

    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "replacement for image2 found")) << session.output;
    EXPECT_TRUE(expect(session, "Replacement USB image is in rejected list.")) << session.output;
    EXPECT_TRUE(expect(session, "Timeout. Assuming \"no\".")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 30)) << session.output;
    wait_exit(session);
    std::string text = plain(session.output);
    EXPECT_FALSE(contains(text, "replacement for image1 found")) << text;
    EXPECT_FALSE(contains(text, "Installing Application")) << text;
    EXPECT_FALSE(contains(text, "from USB stick")) << text;
    EXPECT_FALSE(std::filesystem::exists(slot_path(board, 2)));
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), slot1);
    EXPECT_EQ(rejected_entries(board).size(), 1u);
}

TEST_F(RejectedList, ImageDifferingInOneByteIsNotListed) {
    put_on_stick(board, "NXR4417_replace1_OS.img", replacement);
    list_as_rejected(board, "NXR4417_replace1_OS.img");
    std::vector<uint8_t> changed = replacement;
    changed[0] ^= 0x01;  // one byte of the stored CRC, which the installer then refuses
    put_on_stick(board, "NXR4417_replace1_OS.img", changed);

    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "replacement for image1 found")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 30)) << session.output;
    wait_exit(session);
    EXPECT_FALSE(contains(session.output, "rejected list")) << session.output;
    EXPECT_TRUE(contains(session.output, "Bad crc for APPLICATION")) << session.output;
}

}  // namespace
