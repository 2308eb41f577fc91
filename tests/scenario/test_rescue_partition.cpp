// The image of the rescue partition (diagnostics or recovery), reached through the diagnostics
// boot, and the debugger taken from the other slot for a start under gdb.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/image_header.h"
#include "stick_board.h"

namespace {

using namespace stick_board;

constexpr uint32_t DIAGNOSTICS = 0x06504754;

std::vector<uint8_t> diagnostics_image(int format = 1) {
    std::vector<AppFile> tree = standard_app_tree("diag");
    tree.push_back({"mpdiag.elf.strip", "#!/bin/sh\necho \"DIAGNOSTICS RUNNING\"\n", true});
    ImageSpec spec;
    spec.type = DIAGNOSTICS;
    spec.id = VERSION_1;
    spec.format = format;
    return build_image(spec, make_tarball(tree));
}

struct RescuePartition : ::testing::Test {
    std::string board = board_with_slot1_app();
    ConsoleSession session;

    void SetUp() override { bmsim_ok({"env", board, "diagnostics=diags"}); }
    void TearDown() override { stop_session(session); }

    // Starts the board and declines the erase, which leads to the rescue partition's image.
    void boot_to_rescue_partition() {
        session = start_boot(board, FAST);
        ASSERT_TRUE(expect(session, "Confirm: Erase filesystem?")) << session.output;
        send_keys(session, "n");
        ASSERT_TRUE(expect(session, "Booting diags image...")) << session.output;
    }
};

TEST_F(RescuePartition, DiagnosticsImageStartsWithBootModeFour) {
    for (int format : {1, 2}) {
        put_in_rescue_partition(board, diagnostics_image(format));
        set_eeprom(board, "0x13A", "1");
        boot_to_rescue_partition();
        EXPECT_TRUE(expect(session, "Launching diagnostics image")) << format << session.output;
        EXPECT_TRUE(expect(session, "DIAGNOSTICS RUNNING", 30)) << format << session.output;
        wait_exit(session);
        EXPECT_FALSE(contains(session.output, "Install recovery image")) << format;
        EXPECT_EQ(eeprom_byte(board, 0x13A), 4) << format;
    }
}

TEST_F(RescuePartition, RecoveryImageCopiedIntoSlotOneBecomesTheBootSlot) {
    std::vector<uint8_t> recovery = app_image("recovery", VERSION_2);
    put_in_rescue_partition(board, recovery);
    set_eeprom(board, "0x100", "2");
    boot_to_rescue_partition();
    EXPECT_TRUE(expect(session, "Install recovery image as image 1 or 2 (hit return to just boot image): "))
        << session.output;
    send_keys(session, "1\r");
    EXPECT_TRUE(expect(session, "Installing recovery image as image1...")) << session.output;
    EXPECT_TRUE(expect(session, "Setting boot image to 1")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION recovery RUNNING", 30)) << session.output;
    wait_exit(session);
    EXPECT_EQ(read_binary_file(slot_path(board, 1)), recovery);
    EXPECT_EQ(eeprom_byte(board, 0x100), 1);
    EXPECT_EQ(eeprom_byte(board, 0x13A), 1);
}

// Return alone, and the end of input, boot the recovery image without touching any slot.
TEST_F(RescuePartition, RecoveryImageBootsWithoutCopyOnReturnOrEndOfInput) {
    std::vector<uint8_t> slot1 = read_binary_file(slot_path(board, 1));
    put_in_rescue_partition(board, app_image("recovery", VERSION_2));
    for (const char* answer : {"\r", "\x04"}) {
        set_eeprom(board, "0x13A", "1");
        boot_to_rescue_partition();
        EXPECT_TRUE(expect(session, "(hit return to just boot image): ")) << session.output;
        send_keys(session, answer);
        EXPECT_TRUE(expect(session, "Booting recovery image. You will need to download and install an image "
                                    "before rebooting"))
            << session.output;
        EXPECT_TRUE(expect(session, "APPLICATION recovery RUNNING", 30)) << session.output;
        wait_exit(session);
        EXPECT_FALSE(contains(session.output, "Setting boot image"));
        EXPECT_EQ(eeprom_byte(board, 0x13A), 4);
        EXPECT_EQ(eeprom_byte(board, 0x100), 0xFF);
        EXPECT_EQ(read_binary_file(slot_path(board, 1)), slot1);
    }
}

TEST_F(RescuePartition, ErasedPartitionIsNotFoundAndTheBootGoesOn) {
    boot_to_rescue_partition();
    EXPECT_TRUE(expect(session, "Image not found... ")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 30)) << session.output;
    wait_exit(session);
    EXPECT_EQ(eeprom_byte(board, 0x13A), 1);
}

// A bad CRC, lengths that wrap past 2^32, and an image longer than the partition all fail as a
// CRC mismatch: nothing is started from the partition and the normal boot follows.
TEST_F(RescuePartition, DamagedOrMalformedImageFailsAsCrcMismatch) {
    std::vector<uint8_t> bad_crc = diagnostics_image();
    bad_crc[bad_crc.size() - 1] ^= 0xFF;
    std::vector<uint8_t> wrapping = diagnostics_image();
    write_be32(wrapping.data() + 4, 0xFFFFFFF2);  // total_len = len + 16 wraps to 2
    std::vector<uint8_t> too_long = diagnostics_image();
    write_be32(too_long.data() + 4, 0x7FFFFFF0);  // far beyond the rescue partition
    for (const auto& image : {bad_crc, wrapping, too_long}) {
        bmsim_ok({"new", board});
        put_in_slot(board, 1, app_image("slot1"));
        bmsim_ok({"env", board, "diagnostics=diags"});
        put_in_rescue_partition(board, image);
        boot_to_rescue_partition();
        EXPECT_TRUE(expect(session, "Image CRC failed. Quitting")) << session.output;
        EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING", 30)) << session.output;
        wait_exit(session);
        EXPECT_FALSE(contains(session.output, "DIAGNOSTICS RUNNING"));
        EXPECT_EQ(eeprom_byte(board, 0x13A), 1);
    }
}

// ---- the debugger from the other slot ----

// A gzip file of exactly `size` bytes holding head, comment lines and tail: stored deflate
// blocks, so that the size can be chosen. The tail shows whether the whole content arrived.
std::vector<uint8_t> gzip_of_size(const std::string& head, const std::string& tail, size_t size) {
    const size_t overhead = 10 + 8;
    size_t blocks = 1;
    while (overhead + 5 * blocks + 65535 * blocks < size) ++blocks;
    size_t data_len = size - overhead - 5 * blocks;
    std::string content = head;
    while (content.size() + tail.size() < data_len)
        content += std::string(std::min<size_t>(79, data_len - content.size() - tail.size() - 1), '#') + "\n";
    content += tail;
    std::vector<uint8_t> out = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    size_t at = 0;
    for (size_t block = 0; block < blocks; ++block) {
        size_t n = block + 1 == blocks ? data_len - at : std::min<size_t>(65535, data_len - at);
        out.insert(out.end(), {uint8_t(block + 1 == blocks), uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        out.insert(out.end(), content.begin() + at, content.begin() + at + n);
        at += n;
    }
    uint32_t crc = ~crc32_update(reinterpret_cast<const uint8_t*>(content.data()), uint32_t(data_len), 0xFFFFFFFF);
    for (uint32_t word : {crc, uint32_t(data_len)})
        for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(word >> shift));
    return out;
}

// The application lists the files it inherited, so that a file left open shows.
std::vector<uint8_t> fd_listing_app() {
    std::vector<AppFile> tree = standard_app_tree("slot1");
    tree.back().content += "for f in /proc/$$/fd/*; do echo \"inherited: $(readlink $f)\"; done\n";
    ImageSpec spec;
    spec.id = VERSION_1;
    return build_image(spec, make_tarball(tree));
}

struct Debugger : ::testing::Test {
    std::string board = new_board();
    void SetUp() override {
        bmsim_ok({"env", board, "gdb=on"});
        put_in_slot(board, 1, fd_listing_app());
    }
};

TEST_F(Debugger, TakenFromTheOtherSlotAndUsedForTheLaunch) {
    std::vector<uint8_t> payload =
        gzip_of_size("#!/bin/sh\n", "echo \"DEBUGGER RUNS $*\"\nexec \"$@\"\n", 300000);
    ASSERT_EQ(payload.size(), 300000u);
    ImageSpec spec;
    spec.id = VERSION_1;
    put_in_slot(board, 2, build_image(spec, payload));

    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Extracting GDB from image slot 2")) << session.output;
    EXPECT_TRUE(expect(session, "Found GDB image 2 of length = 300000.")) << session.output;
    EXPECT_TRUE(expect(session, "decompressing GDB....")) << session.output;
    EXPECT_TRUE(expect(session, "*** Launching under GDB ***", 30)) << session.output;
    EXPECT_TRUE(expect(session, "DEBUGGER RUNS /tmp/home/bin/mp.elf.strip")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING")) << session.output;
    wait_exit(session);
    EXPECT_FALSE(contains(session.output, "inherited: /user/images/image2"));
}

// With bit 31 set the header is longer than 16 bytes: it never serves as a debugger image, and
// both files are closed all the same.
TEST_F(Debugger, FormatTwoHeaderIsRefused) {
    put_in_slot(board, 2, app_image("slot2", VERSION_1, 2));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Extracting GDB from image slot 2")) << session.output;
    EXPECT_TRUE(expect(session, "Image has invalid header 0x81504754")) << session.output;
    EXPECT_TRUE(expect(session, "GDB mode selected but GDB not available", 30)) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION slot1 RUNNING")) << session.output;
    wait_exit(session);
    EXPECT_TRUE(contains(session.output, "inherited: ")) << session.output;
    EXPECT_FALSE(contains(session.output, "Found GDB image"));
    EXPECT_FALSE(contains(session.output, "inherited: /user/images/image2")) << session.output;
    EXPECT_FALSE(contains(session.output, "inherited: /tmp/gdb.gz")) << session.output;
}

}  // namespace
