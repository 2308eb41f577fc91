// Boards for the USB stick, rejected-list and rescue-partition scenarios: images in the slots,
// on the stick and in the rescue partition, and what the switch leaves behind.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "support/app_tree.h"
#include "support/console_driver.h"

namespace stick_board {

// The program's own sleeps and waits pass twenty times faster.
inline const std::vector<std::string> FAST = {"--time-scale", "0.05", "--timeout", "60"};

constexpr uint32_t VERSION_1 = 0x01000000;
constexpr uint32_t VERSION_2 = 0x02000000;

inline void bmsim_ok(const std::vector<std::string>& args) {
    std::string output;
    ASSERT_EQ(run_bmsim(args, &output), 0) << output;
}

inline void set_eeprom(const std::string& board, const std::string& offset, const std::string& value) {
    bmsim_ok({"eeprom", board, offset, value});
}

inline uint8_t eeprom_byte(const std::string& board, uint32_t offset) {
    std::vector<uint8_t> eeprom = read_binary_file(board + "/eeprom.bin");
    return offset < eeprom.size() ? eeprom[offset] : 0;
}

inline void allow_usb_boot(const std::string& board) { set_eeprom(board, "0x13B", "0xD5"); }

inline void insert_stick(const std::string& board) { bmsim_ok({"usb", board, "insert"}); }

inline void put_on_stick(const std::string& board, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::path path = board + "/usb/" + name;
    std::filesystem::create_directories(path.parent_path());
    write_binary_file(path.string(), bytes);
}

inline std::string slot_path(const std::string& board, int slot) {
    return board + "/user/images/image" + std::to_string(slot);
}

inline void put_in_slot(const std::string& board, int slot, const std::vector<uint8_t>& image) {
    write_binary_file(slot_path(board, slot), image);
}

inline void put_in_rescue_partition(const std::string& board, const std::vector<uint8_t>& image) {
    std::string file = board + "/rescue-image.bin";
    write_binary_file(file, image);
    bmsim_ok({"flash", board, "rescue", file});
}

inline std::vector<uint8_t> app_image(const std::string& label, uint32_t id = VERSION_1, int format = 1) {
    ImageSpec spec;
    spec.type = 0x01504754;
    spec.id = id;
    spec.format = format;
    return build_image(spec, make_tarball(standard_app_tree(label)));
}

// A standard board: a good application labelled "slot1" in slot 1.
inline std::string board_with_slot1_app() {
    std::string board = new_board();
    put_in_slot(board, 1, app_image("slot1"));
    return board;
}

// The host's MD5 of a file, as the md5sum tool prints it.
inline std::string md5_of(const std::string& path) {
    std::string command = "md5sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char digest[33] = "";
    size_t got = fread(digest, 1, 32, pipe);
    pclose(pipe);
    return std::string(digest, got);
}

inline std::vector<std::string> rejected_entries(const std::string& board) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(board + "/user/images/rejected", error))
        names.push_back(entry.path().filename().string());
    return names;
}

inline void list_as_rejected(const std::string& board, const std::string& stick_file) {
    std::string digest = md5_of(board + "/usb/" + stick_file);
    ASSERT_EQ(digest.size(), 32u);
    std::filesystem::create_directories(board + "/user/images/rejected");
    write_binary_file(board + "/user/images/rejected/" + digest, {});
}

// The console's text without the carriage returns of the terminal's line ends.
inline std::string plain(const std::string& text) {
    std::string result;
    for (char c : text)
        if (c != '\r') result += c;
    return result;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// True when the parts appear in this order.
inline bool in_order(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const auto& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) return false;
        at += part.size();
    }
    return true;
}

}  // namespace stick_board
