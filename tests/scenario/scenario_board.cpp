// The scenario tests' board and console helpers (scenario_board.h).
#include "scenario_board.h"

#include <algorithm>
#include <filesystem>

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

bool in_order(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const auto& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) return false;
        at += part.size();
    }
    return true;
}

std::string plain(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

void write_text(const std::string& path, const std::string& text) {
    write_binary_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

void bmsim_ok(const std::vector<std::string>& args) {
    std::string output;
    EXPECT_EQ(run_bmsim(args, &output), 0) << "bmsim " << args[0] << ": " << output;
}

void set_eeprom(const std::string& board, const std::string& offset, const std::string& value) {
    bmsim_ok({"eeprom", board, offset, value});
}

int eeprom_byte(const std::string& board, uint32_t offset) {
    std::vector<uint8_t> eeprom = read_binary_file(board + "/eeprom.bin");
    return offset < eeprom.size() ? eeprom[offset] : -1;
}

std::string slot_path(const std::string& board, int slot) { return board + "/user/images/image" + std::to_string(slot); }

void put_slot(const std::string& board, int slot, const std::vector<uint8_t>& image) {
    write_binary_file(slot_path(board, slot), image);
}

void put_on_stick(const std::string& board, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::path path = board + "/usb/" + name;
    std::filesystem::create_directories(path.parent_path());
    write_binary_file(path.string(), bytes);
}

void flash_partition(const std::string& board, const std::string& partition, const std::vector<uint8_t>& bytes) {
    std::string file = board + "/" + partition + ".flash";
    write_binary_file(file, bytes);
    bmsim_ok({"flash", board, partition, file});
}

std::vector<uint8_t> image_of(uint32_t type, uint32_t id, const std::vector<uint8_t>& payload, int format) {
    ImageSpec plan;
    plan.type = type;
    plan.id = id;
    plan.format = format;
    return build_image(plan, payload);
}

std::vector<uint8_t> app_image(const std::vector<AppFile>& tree, uint32_t id, int format) {
    return image_of(IMAGE_APPLICATION, id, make_tarball(tree), format);
}

std::vector<uint8_t> app_image(const std::string& label, uint32_t id, int format) {
    return app_image(standard_app_tree(label), id, format);
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

std::vector<uint8_t> spoiled(std::vector<uint8_t> image) {
    image[image.size() / 2] ^= 0xFF;
    return image;
}

std::vector<uint8_t> pattern_bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}

std::vector<uint8_t> flash_image(uint32_t type, size_t payload_size, uint8_t seed, uint32_t id) {
    return image_of(type, id, pattern_bytes(payload_size, seed));
}

std::vector<uint8_t> joined(const std::vector<std::vector<uint8_t>>& images) {
    std::vector<uint8_t> package;
    for (const auto& image : images) package.insert(package.end(), image.begin(), image.end());
    return package;
}

bool starts_with(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool all_erased(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

void watch(ConsoleSession& session, double seconds) {
    expect(session, std::string("\x01\x02\x03 never shown"), seconds);
}

bool Scenario::shows(const std::vector<std::string>& texts, double timeout_seconds) {
    for (const auto& text : texts) {
        if (expect(session, text, timeout_seconds)) continue;
        ADD_FAILURE() << "the console did not show \"" << text << "\"; it showed:\n" << session.output;
        return false;
    }
    return true;
}

void Scenario::press(const std::string& keys) {
    watch(session, 0.2);
    send_keys(session, keys);
}

bool Scenario::answer(const std::string& prompt, const std::string& keys) {
    if (!shows({prompt})) return false;
    press(keys);
    return true;
}
