// The simulated board as the scenario tests set it up and watch it: images in the slots, on the
// USB stick and in the flash partitions, and a console whose texts are awaited in turn.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"
#include "support/app_tree.h"
#include "support/console_driver.h"

// The program's one-second waits pass twenty times faster; a start gets 90 real seconds.
inline const std::vector<std::string> FAST = {"--time-scale", "0.05", "--timeout", "90"};
constexpr uint32_t VERSION_1 = 0x01000000;
constexpr uint32_t VERSION_2 = 0x02000000;

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest);
bool contains(const std::string& text, const std::string& part);
size_t count_of(const std::string& text, const std::string& part);
// True when the parts appear in this order.
bool in_order(const std::string& text, const std::vector<std::string>& parts);
// The console's text without the carriage returns of the terminal's line ends.
std::string plain(std::string text);

void write_text(const std::string& path, const std::string& text);

// Board set-up through bmsim; a failing command fails the test.
void bmsim_ok(const std::vector<std::string>& args);
void set_eeprom(const std::string& board, const std::string& offset, const std::string& value);
int eeprom_byte(const std::string& board, uint32_t offset);
std::string slot_path(const std::string& board, int slot);
void put_slot(const std::string& board, int slot, const std::vector<uint8_t>& image);
void put_on_stick(const std::string& board, const std::string& name, const std::vector<uint8_t>& bytes);
void flash_partition(const std::string& board, const std::string& partition, const std::vector<uint8_t>& bytes);

std::vector<uint8_t> image_of(uint32_t type, uint32_t id, const std::vector<uint8_t>& payload, int format = 1);
std::vector<uint8_t> app_image(const std::vector<AppFile>& tree, uint32_t id = VERSION_1, int format = 1);
std::vector<uint8_t> app_image(const std::string& label, uint32_t id = VERSION_1, int format = 1);
// The standard application tree with files replaced, added or left out (content "-").
std::vector<AppFile> tree_with(const std::string& label, const std::vector<AppFile>& changes);
// The image with one payload byte flipped: its CRC no longer matches.
std::vector<uint8_t> spoiled(std::vector<uint8_t> image);
std::vector<uint8_t> pattern_bytes(size_t size, uint8_t seed);
std::vector<uint8_t> flash_image(uint32_t type, size_t payload_size, uint8_t seed, uint32_t id = 0x01020304);
std::vector<uint8_t> joined(const std::vector<std::vector<uint8_t>>& images);
bool starts_with(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix);
bool all_erased(const std::vector<uint8_t>& bytes);

// Reads the console for a while. A key sent right after a prompt may come before the program
// has turned the echo off for its one-key read; a short watch first keeps the echo exact.
void watch(ConsoleSession& session, double seconds);

// A fresh board and its console, stopped at the end of the test.
struct Scenario : ::testing::Test {
    std::string board = new_board();
    ConsoleSession session;
    void TearDown() override { stop_session(session); }

    void boot(const std::vector<std::string>& extra = {}) { session = start_boot(board, with(FAST, extra)); }
    // Awaits each text in turn after the last one found; a missing one fails the test.
    bool shows(const std::vector<std::string>& texts, double timeout_seconds = 30);
    // Sends keys after a short watch; answer awaits the prompt first.
    void press(const std::string& keys);
    bool answer(const std::string& prompt, const std::string& keys);
    int ends() { return wait_exit(session, 120); }
    std::string log() { return read_text_file(board + "/log"); }
};
