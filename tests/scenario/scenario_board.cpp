// The scenario tests' board and console helpers (scenario_board.h).
#include "scenario_board.h"

#include <cstdlib>
#include <filesystem>

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

bool in_order(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const auto& part : parts) {
        if ((at = text.find(part, at)) == std::string::npos) return false;
        at += part.size();
    }
    return true;
}

std::string plain(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

void bmsim_ok(const std::vector<std::string>& args) {
    std::string output;
    EXPECT_EQ(run_bmsim(args, &output), 0) << "bmsim " << args[0] << ": " << output;
}

int eeprom_byte(const std::string& board, uint32_t offset) {
    Bytes eeprom = read_binary_file(board + "/eeprom.bin");
    return offset < eeprom.size() ? eeprom[offset] : -1;
}

void put_on_stick(const std::string& board, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(std::filesystem::path(board + "/usb/" + name).parent_path());
    write_binary_file(board + "/usb/" + name, bytes);
}

void flash_partition(const std::string& board, const std::string& partition, const Bytes& bytes) {
    write_binary_file(board + "/" + partition + ".flash", bytes);
    bmsim_ok({"flash", board, partition, board + "/" + partition + ".flash"});
}

std::vector<AppFile> tree_with(const std::string& label, const std::vector<AppFile>& changes) {
    std::vector<AppFile> tree;
    for (const AppFile& file : standard_app_tree(label))
        if (std::none_of(changes.begin(), changes.end(), [&](const AppFile& c) { return c.path == file.path; }))
            tree.push_back(file);
    for (const AppFile& change : changes)
        if (change.content != "-") tree.push_back(change);
    return tree;
}

Bytes spoiled(Bytes image) {
    image[image.size() / 2] ^= 0xFF;
    return image;
}

Bytes pattern_bytes(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}

Bytes joined(const std::vector<Bytes>& images) {
    Bytes package;
    for (const auto& image : images) package.insert(package.end(), image.begin(), image.end());
    return package;
}

void Scenario::TearDown() {
    stop_session(session);
    std::error_code error;
    if (!std::getenv("BMSIM_KEEP_BOARDS")) std::filesystem::remove_all(board, error);
}

bool Scenario::shows(const std::vector<std::string>& texts, double timeout_seconds) {
    for (const auto& text : texts) {
        if (expect(session, text, timeout_seconds)) continue;
        ADD_FAILURE() << "the console did not show \"" << text << "\"; it showed:\n" << session.output;
        return false;
    }
    return true;
}
