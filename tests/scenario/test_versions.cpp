// The installed version report (letter V of the rescue menu) on the simulated board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"
#include "rescue_console.h"
#include "support/app_tree.h"
#include "support/console_driver.h"

namespace {

using namespace rescue;

void flash_partition(const std::string& board, const std::string& partition, const std::vector<uint8_t>& bytes) {
    std::string file = board + "/" + partition + ".flash";
    write_binary_file(file, bytes);
    std::string output;
    ASSERT_EQ(run_bmsim({"flash", board, partition, file}, &output), 0) << output;
}

TEST(InstalledVersions, SixLinesFromTheFlashHeadersAndTheSlotFiles) {
    std::string board = rescue_board();
    // The boot loader's partition holds its payload; its version is in the copy at byte 240,
    // while bytes 12 to 15 of the partition hold payload bytes of a different value.
    ImageSpec loader;
    loader.type = IMAGE_BOOTLOADER;
    loader.id = 0x02000001;
    loader.embed_header_copy = true;
    std::vector<uint8_t> loader_image = build_image(loader, pattern_bytes(4096, 9));
    flash_partition(board, "uboot", std::vector<uint8_t>(loader_image.begin() + 16, loader_image.end()));
    flash_partition(board, "rfs", flash_image(IMAGE_ROOTFS, 100, 1, 0x80FF0A00));
    flash_partition(board, "kernel", flash_image(IMAGE_KERNEL, 100, 2, 0x01020304));
    flash_partition(board, "rescue", flash_image(IMAGE_DIAGNOSTICS, 100, 3, 0x09090909));
    write_binary_file(board + "/user/images/image1", standard_app_image("one", 0x05060708));

    ConsoleSession session = start_boot(board, RESCUE_FAST);
    ASSERT_TRUE(expect(session, "Option? : ")) << session.output;
    watch(session, 0.2);
    send_keys(session, "V");
    EXPECT_TRUE(expect(session, "V\r\nInstalled images versions: \r\n"
                                "\tBoot image  : 2.0.0.1\r\n"
                                "\tRFS image   : 128.255.10.0\r\n"
                                "\tKernel image: 1.2.3.4\r\n"
                                "\tDFT image   : 255.255.255.255\r\n"
                                "\tOS image 1  : 5.6.7.8\r\n"
                                "\tOS image 2  : 0.0.0.0\r\n"
                                "Please select one of the following options:"))
        << session.output;
    stop_session(session);
}

}  // namespace
