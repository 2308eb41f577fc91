// Application images installed into a slot by a caller that names the slot and asks for the
// version check: the USB stick's replacement images, as the start-up sequence installs them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "rescue_console.h"
#include "stick_board.h"
#include "support/app_tree.h"
#include "support/console_driver.h"

namespace {

using namespace rescue;

struct SlotInstall : ::testing::Test {
    std::string board = new_board();
    ConsoleSession session;

    void SetUp() override {
        stick_board::allow_usb_boot(board);
        stick_board::insert_stick(board);
    }
    void TearDown() override { stop_session(session); }
};

TEST_F(SlotInstall, ReplacementEqualToTheSlotIsSkippedByTheVersionCheck) {
    auto image = standard_app_image("same", 0x01000000);
    stick_board::put_in_slot(board, 2, image);
    stick_board::put_on_stick(board, "NXR4417_replace2_OS.img", image);
    session = start_boot(board, RESCUE_FAST);
    ASSERT_TRUE(expect(session, "Installing Application: Installing image as image2: "
                                "Image2 has same version as existing image. Skipping update...\r\n"
                                "File processed\r\nERROR: No valid image found\r\n"))
        << session.output;
    stop_session(session);
    EXPECT_EQ(session.output.find("successfully replaced"), std::string::npos) << session.output;
}

// Over 42 MB, bytes written × 100 no longer fits in 32 bits; the count must still climb to 100.
TEST_F(SlotInstall, PercentCountOfAnImageOver42MegabytesClimbsSteadily) {
    ImageSpec spec;
    spec.id = 0x03000000;
    auto image = build_image(spec, pattern_bytes(43 * 1024 * 1024 - 16, 3));
    stick_board::put_on_stick(board, "NXR4417_replace2_OS.img", image);
    session = start_boot(board, RESCUE_FAST);
    ASSERT_TRUE(expect(session, "Installing image as image2:     ", 60)) << session.output;
    ASSERT_TRUE(expect(session, "\r\n\r\nImage2 updated succeeded\r\n", 60)) << session.output.substr(0, 2000);
    stop_session(session);

    std::string counts = session.output.substr(session.output.find("Installing image as image2:     "));
    counts = counts.substr(0, counts.find("\r\n"));
    std::vector<int> shown;
    for (size_t at = counts.find("\b\b\b\b"); at != std::string::npos; at = counts.find("\b\b\b\b", at + 4))
        shown.push_back(std::stoi(counts.substr(at + 4, 3)));
    ASSERT_EQ(shown.size(), 43u * 16 + 1);  // one count per 64 KiB piece, then the closing 100
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown[i], i + 1 < shown.size() ? int((uint64_t(i + 1) * 65536 * 100) / image.size()) : 100) << i;
    EXPECT_EQ(read_binary_file(stick_board::slot_path(board, 2)), image);
}

}  // namespace
