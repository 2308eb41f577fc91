// The boot spine on the simulated board: the real program in the sandbox, watched on its
// console and through the board's logs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/app_tree.h"
#include "support/console_driver.h"

namespace {

// The program's one-second pauses pass twenty times faster.
const std::vector<std::string> FAST = {"--time-scale", "0.05", "--timeout", "60"};

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

void set_eeprom(const std::string& board, const std::string& offset, const std::string& value) {
    std::string output;
    ASSERT_EQ(run_bmsim({"eeprom", board, offset, value}, &output), 0) << output;
}

// An application image whose last payload byte is spoiled: its CRC fails.
void put_image_with_bad_crc(const std::string& board, int slot) {
    std::vector<uint8_t> image = standard_app_image("slot" + std::to_string(slot), 0x01000000);
    image.back() ^= 0xFF;
    write_binary_file(board + "/user/images/image" + std::to_string(slot), image);
}

struct BootSpine : ::testing::Test {
    std::string board = new_board();

    void SetUp() override {
        put_image_with_bad_crc(board, 1);
        put_image_with_bad_crc(board, 2);
    }

    std::string log() { return read_text_file(board + "/log"); }
};

TEST_F(BootSpine, BootSlotTwoThenSlotOneThenReboot) {
    set_eeprom(board, "0x100", "2");
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Booting image '2'")) << session.output;
    EXPECT_TRUE(expect(session, "Booting image '1'")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(count_of(session.output, "Booting image '"), 2u) << session.output;
    EXPECT_NE(log().find("bmsim: start 1 ended: reboot requested, exit status 0"), std::string::npos) << log();
}

TEST_F(BootSpine, SlotOneFirstForAnyOtherBootSlotValue) {
    for (const char* value : {"0", "3", "0xFF"}) {
        set_eeprom(board, "0x100", value);
        ConsoleSession session = start_boot(board, FAST);
        EXPECT_TRUE(expect(session, "Booting image '1'")) << value << session.output;
        EXPECT_TRUE(expect(session, "Booting image '2'")) << value << session.output;
        EXPECT_EQ(wait_exit(session), 0) << value << session.output;
    }
}

TEST_F(BootSpine, MarkerOtherThanD5RunsNoUsbStep) {
    ASSERT_EQ(run_bmsim({"usb", board, "insert"}), 0);
    set_eeprom(board, "0x13B", "0xD4");
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(session.output.find("Attempting to mount"), std::string::npos) << session.output;
    EXPECT_NE(session.output.find("Booting image '1'"), std::string::npos) << session.output;
}

TEST_F(BootSpine, MarkerD5WaitsForTheStick) {
    ASSERT_EQ(run_bmsim({"usb", board, "insert"}), 0);
    set_eeprom(board, "0x13B", "0xD5");
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Attempting to mount")) << session.output;
    EXPECT_TRUE(expect(session, "USB mounted and ready!")) << session.output;
    EXPECT_TRUE(expect(session, "Booting image '1'")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
}

TEST_F(BootSpine, MissingFirstI2cBusIsReportedOnceAndBootGoesOn) {
    std::string fault = "missing /dev/i2c-0\n";
    write_binary_file(board + "/faults", std::vector<uint8_t>(fault.begin(), fault.end()));
    // The boot slot cannot be read without the bus: slot 1 comes first.
    set_eeprom(board, "0x100", "2");
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Booting image '1'")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(count_of(session.output, "ERROR: driver /dev/i2c-0 couldn't be opened"), 1u) << session.output;
    EXPECT_EQ(session.output.find("ERROR: driver /dev/i2c-1"), std::string::npos) << session.output;
}

TEST_F(BootSpine, UserFileSystemMountedAndWalkedFirst) {
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string text = log();
    size_t mount = text.find("/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n");
    size_t reboot = text.find("init: reboot requested");
    EXPECT_NE(mount, std::string::npos) << text;
    EXPECT_LT(mount, reboot) << text;
}

TEST(BootSpineWithoutImages, BothSlotFilesMissingOpenTheRescueMenu) {
    std::string board = new_board();
    set_eeprom(board, "0x100", "2");
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Booting image '2'")) << session.output;
    EXPECT_TRUE(expect(session, "Failed to open Application image 2. Trying image 1.")) << session.output;
    EXPECT_TRUE(expect(session, "Failed to open Application image 1.")) << session.output;
    EXPECT_TRUE(expect(session, "Option? :")) << session.output;
    send_keys(session, "R");
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_EQ(session.output.find("Booting image '1'"), std::string::npos) << session.output;
    EXPECT_NE(read_text_file(board + "/log").find("reboot requested"), std::string::npos);
}

}  // namespace
