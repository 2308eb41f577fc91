// The simulated board as the scenario tests set it up and watch it: images in the slots, on the
// USB stick and in the flash partitions, and a console whose texts are awaited in turn.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"
#include "support/app_tree.h"
#include "support/console_driver.h"

using Bytes = std::vector<uint8_t>;
// The program's one-second waits pass twenty times faster; a start gets 90 real seconds.
inline const std::vector<std::string> FAST = {"--time-scale", "0.05", "--timeout", "90"};
constexpr uint32_t VERSION_1 = 0x01000000;
constexpr uint32_t VERSION_2 = 0x02000000;

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest);
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
size_t count_of(const std::string& text, const std::string& part);
// For EXPECT_TRUE: the text holds the parts in this order, or none of them; a failure shows the text.
testing::AssertionResult has(const std::string& text, const std::vector<std::string>& parts);
testing::AssertionResult lacks(const std::string& text, const std::vector<std::string>& parts);
// The names in a folder, sorted; none when it is missing.
std::vector<std::string> file_names(const std::string& dir);
// The console's text without the carriage returns of the terminal's line ends.
std::string plain(std::string text);
inline void write_text(const std::string& path, const std::string& text) {
    write_binary_file(path, Bytes(text.begin(), text.end()));
}

// Board set-up through bmsim; a failing command fails the test.
void bmsim_ok(const std::vector<std::string>& args);
inline void set_eeprom(const std::string& board, const std::string& at, const std::string& value) {
    bmsim_ok({"eeprom", board, at, value});
}
int eeprom_byte(const std::string& board, uint32_t offset);
inline std::string slot_path(const std::string& board, int slot) {
    return board + "/user/images/image" + std::to_string(slot);
}
inline void put_slot(const std::string& board, int slot, const Bytes& image) {
    write_binary_file(slot_path(board, slot), image);
}
void flash_partition(const std::string& board, const std::string& partition, const Bytes& bytes);

inline Bytes image_of(uint32_t type, uint32_t id, const Bytes& payload, int format = 1) {
    return build_image({.type = type, .id = id, .format = format}, payload);
}
inline Bytes app_image(const std::vector<AppFile>& tree, uint32_t id = VERSION_1, int format = 1) {
    return image_of(IMAGE_APPLICATION, id, make_tarball(tree), format);
}
inline Bytes app_image(const std::string& label, uint32_t id = VERSION_1, int format = 1) {
    return app_image(standard_app_tree(label), id, format);
}
// The standard application tree with files replaced, added or left out (content "-").
std::vector<AppFile> tree_with(const std::string& label, const std::vector<AppFile>& changes);
// The image with one payload byte flipped: its CRC no longer matches.
Bytes spoiled(Bytes image);
// The image with its length field (bytes 4 to 7) set to len, its CRC left as it was.
inline Bytes claiming(Bytes image, uint32_t len) {
    write_be32(&image[4], len);
    return image;
}
Bytes pattern_bytes(size_t size, uint8_t seed);
inline Bytes flash_image(uint32_t type, size_t size, uint8_t seed, uint32_t id = 0x01020304) {
    return image_of(type, id, pattern_bytes(size, seed));
}
Bytes joined(const std::vector<Bytes>& images);
inline bool starts_with(const Bytes& bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}
// Not empty, and every byte 0xFF.
inline bool all_erased(const Bytes& bytes) {
    return !bytes.empty() && std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// Reads the console for a while. A key sent right after a prompt may come before the program
// has turned the echo off for its one-key read; a short watch first keeps the echo exact.
inline void watch(ConsoleSession& session, double seconds) { expect(session, "\x01\x02\x03 never shown", seconds); }

// A fresh board and its console, both gone at the end of the test (unless BMSIM_KEEP_BOARDS is
// set, to look at the board).
struct Scenario : ::testing::Test {
    std::string board = new_board();
    ConsoleSession session;
    void TearDown() override;

    void boot(const std::vector<std::string>& extra = {}, Console console = Console::raw_terminal) {
        session = start_boot(board, with(FAST, extra), console);
    }
    // Awaits each text in turn after the last one found; a missing one fails the test.
    bool shows(const std::vector<std::string>& texts, double timeout_seconds = 30);
    // Sends keys after a short watch; answer awaits the prompt first.
    bool press(const std::string& keys) {
        watch(session, 0.2);
        send_keys(session, keys);
        return true;
    }
    bool answer(const std::string& prompt, const std::string& keys) { return shows({prompt}) && press(keys); }
    // Works in the shell the program dropped into, and leaves it.
    void uses_shell() {
        send_keys(session, "echo shell-$((6*7))\nexit\n");
        shows({"shell-42"});
    }
    int ends() { return wait_exit(session, 120); }
    // Boots, awaits the texts and the end of the run; returns its exit status.
    int boot_showing(const std::vector<std::string>& texts, const std::vector<std::string>& extra = {}) {
        boot(extra);
        shows(texts);
        return ends();
    }
    // Inserts the USB stick, ready at once, with these files on it.
    void insert_stick(const std::vector<std::pair<std::string, Bytes>>& files) {
        bmsim_ok({"usb", board, "insert"});
        for (const auto& [name, bytes] : files) write_binary_file(board + "/usb/" + name, bytes);
    }
    std::string log() { return read_text_file(board + "/log"); }
};
