// Boards with images in their slots, shared by the image boot and application start scenarios.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "support/app_tree.h"
#include "support/console_driver.h"

namespace slot_board {

// The program's one-second pauses pass fifty times faster.
inline const std::vector<std::string> FAST = {"--time-scale", "0.02", "--timeout", "60"};

constexpr uint32_t VERSION_ONE = 0x01000001;
constexpr uint32_t VERSION_TWO = 0x01000002;

inline std::string slot_path(const std::string& board, int slot) {
    return board + "/user/images/image" + std::to_string(slot);
}

inline void put_slot(const std::string& board, int slot, const std::vector<uint8_t>& bytes) {
    write_binary_file(slot_path(board, slot), bytes);
}

inline void set_eeprom(const std::string& board, const std::string& offset, const std::string& value) {
    std::string output;
    ASSERT_EQ(run_bmsim({"eeprom", board, offset, value}, &output), 0) << output;
}

// One EEPROM byte as `bmsim eeprom` shows it; -1 when it cannot be read.
inline int eeprom_byte(const std::string& board, const std::string& offset) {
    std::string output;
    if (run_bmsim({"eeprom", board, offset}, &output) != 0) return -1;
    return int(std::strtol(output.c_str(), nullptr, 0));
}

inline void set_env(const std::string& board, const std::vector<std::string>& settings) {
    std::vector<std::string> args = {"env", board};
    args.insert(args.end(), settings.begin(), settings.end());
    std::string output;
    ASSERT_EQ(run_bmsim(args, &output), 0) << output;
}

inline std::string board_log(const std::string& board) {
    std::string output;
    run_bmsim({"log", board}, &output);
    return output;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

inline std::vector<uint8_t> image_of(uint32_t type, uint32_t id, const std::vector<uint8_t>& payload) {
    ImageSpec spec;
    spec.type = type;
    spec.id = id;
    return build_image(spec, payload);
}

inline std::vector<uint8_t> app_image(const std::vector<AppFile>& tree, uint32_t id = VERSION_ONE) {
    return image_of(0x01504754, id, make_tarball(tree));
}

inline std::vector<uint8_t> kernel_image() { return image_of(0x03504754, 0x02060000, std::vector<uint8_t>(300, 0x4B)); }

// The image with one payload byte flipped: its CRC no longer matches.
inline std::vector<uint8_t> spoiled(std::vector<uint8_t> image) {
    image[image.size() / 2] ^= 0xFF;
    return image;
}

// The standard application tree with some files replaced, added (content given) or left out
// (content "-").
inline std::vector<AppFile> tree_with(const std::string& label, const std::vector<AppFile>& changes) {
    std::vector<AppFile> tree;
    for (const AppFile& file : standard_app_tree(label)) {
        bool changed = false;
        for (const AppFile& change : changes) changed = changed || change.path == file.path;
        if (!changed) tree.push_back(file);
    }
    for (const AppFile& change : changes)
        if (change.content != "-") tree.push_back(change);
    return tree;
}

// The content compressed by the host's gzip.
inline std::vector<uint8_t> gzipped(const std::string& content) {
    char pattern[] = "/tmp/bm-gzip.XXXXXX";
    if (!mkdtemp(pattern)) return {};
    std::string file = std::string(pattern) + "/content";
    write_binary_file(file, std::vector<uint8_t>(content.begin(), content.end()));
    std::vector<uint8_t> bytes;
    if (std::system(("gzip -n " + file).c_str()) == 0) bytes = read_binary_file(file + ".gz");
    std::filesystem::remove_all(pattern);
    return bytes;
}

}  // namespace slot_board
