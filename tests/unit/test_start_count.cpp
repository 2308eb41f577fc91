// The start counts of the slots in the EEPROM: counting, the limit, the confirmation, a new
// image, what stale and erased cells read as, the order of the writes, and nothing at all while
// the limit is off.
// Faults tried: the CRC cells written before the count cell -> WritesTheCountBeforeTheImageItBelongsTo;
// a count kept across a change of image (the CRC cells not compared) -> StaleAndErasedCellsReadAsAFreshImage;
// the limit taken as "more than N" -> CountsUpToTheLimitThenRefuses.
#include <gtest/gtest.h>

#include "hw/start_count.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t CRC_A = 0x1234ABCD, CRC_B = 0x5678EF01;

struct StartCount : ::testing::Test {
    TestBoard board;
    void SetUp() override {
        capture_stdout([] { i2c_open_buses(); });
        start_limit = 2;
    }
    void TearDown() override { start_limit = 0; }
    std::vector<int> cells() {
        std::vector<int> bytes;
        for (uint32_t at = 0x13C; at < 0x142; ++at) bytes.push_back(board.eeprom(at));
        return bytes;
    }
    std::string starts(int slot, uint32_t crc) {
        SlotStarts s = read_slot_starts(slot, crc);
        return std::to_string(s.count) + (s.confirmed ? " confirmed" : "");
    }
};

TEST_F(StartCount, CountsUpToTheLimitThenRefuses) {
    EXPECT_EQ(starts(2, CRC_A), "0");
    EXPECT_TRUE(count_slot_start(2, CRC_A));
    EXPECT_TRUE(count_slot_start(2, CRC_A));
    EXPECT_EQ(starts(2, CRC_A), "2");
    EXPECT_TRUE(starts_run_out(read_slot_starts(2, CRC_A)));
    std::vector<int> before = cells();
    EXPECT_EQ(capture_stdout([] { EXPECT_FALSE(count_slot_start(2, CRC_A)); }),
              "Image2 was started 2 times without being confirmed.\n");
    EXPECT_EQ(cells(), before);
    EXPECT_EQ(before, (std::vector<int>{0xFF, 0xFF, 0xFF, 0xA2, 0xAB, 0xCD}));
    // confirmed: its starts no longer count, and a second confirmation writes nothing
    EXPECT_TRUE(confirm_slot_image(2, CRC_A));
    EXPECT_EQ(starts(2, CRC_A), "0 confirmed");
    board.clear_log();
    EXPECT_TRUE(confirm_slot_image(2, CRC_A));
    EXPECT_TRUE(count_slot_start(2, CRC_A));
    EXPECT_EQ(log_lines_starting(board.log(), {"i2c-0 write 0x54 01 3f ", "i2c-0 write 0x54 01 40 "}).size(), 0u);
    // a new image in the slot starts afresh
    note_new_slot_image(2, CRC_A);
    EXPECT_EQ(starts(2, CRC_A), "0");
    // the USB stick and other sources are never counted
    EXPECT_TRUE(count_slot_start(3, CRC_A));
}

TEST_F(StartCount, StaleAndErasedCellsReadAsAFreshImage) {
    // erased, zero, a count of another image, a confirmation of another image, an unknown form
    const std::vector<std::vector<uint8_t>> stale = {
        {0xFF, 0xFF, 0xFF}, {0, 0, 0}, {0xA9, 0x56, 0x78}, {0x5C, 0x56, 0x78}, {0x37, 0xAB, 0xCD}};
    for (const auto& cells : stale) {
        for (int i = 0; i < 3; ++i) board.set_eeprom(0x13C + i, cells[i]);
        EXPECT_EQ(starts(1, CRC_A), "0") << int(cells[0]);
    }
}

TEST_F(StartCount, WritesTheCountBeforeTheImageItBelongsTo) {
    for (int i = 0; i < 3; ++i) board.set_eeprom(0x13C + i, std::vector<uint8_t>{0xA1, 0x56, 0x78}[i]);
    board.clear_log();
    EXPECT_TRUE(count_slot_start(1, CRC_A));
    EXPECT_EQ(log_lines_starting(board.log(),
                                 {"i2c-0 write 0x54 01 3c ", "i2c-0 write 0x54 01 3d ", "i2c-0 write 0x54 01 3e "}),
              (std::vector<std::string>{"i2c-0 write 0x54 01 3c a1", "i2c-0 write 0x54 01 3d ab",
                                        "i2c-0 write 0x54 01 3e cd"}));
    EXPECT_EQ(starts(1, CRC_A), "1");
    EXPECT_EQ(starts(1, CRC_B), "0");
}

TEST_F(StartCount, NothingIsReadOrWrittenWhileOff) {
    start_limit = 0;
    board.clear_log();
    EXPECT_TRUE(count_slot_start(1, CRC_A));
    note_new_slot_image(1, CRC_A);
    EXPECT_FALSE(starts_run_out(read_slot_starts(1, CRC_A)));  // a read, for bmctl status only
    EXPECT_EQ(log_lines_starting(board.log(), {"i2c-0 write"}).size(), 1u);
    EXPECT_EQ(cells(), (std::vector<int>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

}  // namespace
