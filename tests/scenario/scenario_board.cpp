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

testing::AssertionResult has(const std::string& text, const std::vector<std::string>& parts) {
    for (size_t i = 0, at = 0; i < parts.size(); at += parts[i++].size())
        if ((at = text.find(parts[i], at)) == std::string::npos)
            return testing::AssertionFailure() << "part " << i + 1 << " \"" << parts[i] << "\" not found in:\n" << text;
    return testing::AssertionSuccess();
}

testing::AssertionResult lacks(const std::string& text, const std::vector<std::string>& parts) {
    for (const auto& part : parts)
        if (contains(text, part)) return testing::AssertionFailure() << "\"" << part << "\" in:\n" << text;
    return testing::AssertionSuccess();
}

std::vector<std::string> file_names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
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

void flash_partition(const std::string& board, const std::string& partition, const Bytes& bytes) {
    write_binary_file(board + "/" + partition + ".flash", bytes);
    bmsim_ok({"flash", board, partition, board + "/" + partition + ".flash"});
}

std::vector<AppFile> tree_with(const std::string& label, const std::vector<AppFile>& changes) {
    std::vector<AppFile> tree = standard_app_tree(label);
    std::erase_if(tree, [&](const AppFile& file) {
        return std::ranges::any_of(changes, [&](const AppFile& change) { return change.path == file.path; });
    });
    std::ranges::copy_if(changes, std::back_inserter(tree), [](const AppFile& c) { return c.content != "-"; });
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
