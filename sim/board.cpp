// The board-state directory: creating a fresh board and changing its state from outside the
// program, as the factory or an operator with a programmer would.
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t KIB = 1024;
constexpr uint32_t EEPROM_SIZE = 64 * KIB;
constexpr uint32_t I2C1_REGISTER_COUNT = 256;
// Register 4 of the device at 0x20 as the board reads it at power-on: bit 3 set, so the
// program's clearing of that bit shows in register 12.
constexpr uint8_t I2C1_REGISTER4_AT_POWER_ON = 0x2C;

bool fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

std::string describe_errno() { return std::strerror(errno); }

bool write_file(const fs::path& path, const std::vector<uint8_t>& bytes, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return fail(error, "cannot write '" + path.string() + "': " + describe_errno());
    return true;
}

}  // namespace

// A directory opens as a stream but fails at the first read, with an exception from the stream's
// buffer: it is refused by name first.

bool board_read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return fail(error, "cannot read '" + path + "': Is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(error, "cannot read '" + path + "': " + describe_errno());
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return fail(error, "cannot read '" + path + "': " + describe_errno());
    return true;
}

namespace {

bool read_file(const fs::path& path, std::vector<uint8_t>* bytes, std::string* error) {
    return board_read_file(path.string(), bytes, error);
}

// Writes bytes at an offset of an existing file, keeping the rest of it.
bool patch_file(const fs::path& path, uint32_t offset, const uint8_t* bytes, size_t count, std::string* error) {
    std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!io) return fail(error, "cannot open '" + path.string() + "': " + describe_errno());
    io.seekp(offset);
    io.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    io.close();
    if (!io) return fail(error, "cannot write '" + path.string() + "': " + describe_errno());
    return true;
}

fs::path partition_file(const std::string& dir, const std::string& name) {
    return fs::path(dir) / "mtd" / (name + ".bin");
}

bool known_partition(const std::string& name) {
    for (const PartitionSpec& layout : board_partitions())
        if (name == layout.name) return true;
    return false;
}

// The boot loader's CRC-32 (reflected polynomial 0xEDB88320, inverted before and after).
uint32_t env_crc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

bool check_eeprom_offset(uint32_t offset, std::string* error) {
    if (offset >= EEPROM_SIZE)
        return fail(error, "EEPROM offset " + std::to_string(offset) + " is beyond its 65536 bytes");
    return true;
}

}  // namespace

const std::vector<PartitionSpec>& board_partitions() {
    static const std::vector<PartitionSpec> partitions = {
        {"uboot", 512 * KIB, 64 * KIB},      {"ubootenv", 64 * KIB, 64 * KIB},  {"devicetree", 256 * KIB, 64 * KIB},
        {"kernel", 3 * KIB * KIB, 64 * KIB}, {"rfs", 15 * KIB * KIB, 64 * KIB}, {"rescue", 10 * KIB * KIB, 64 * KIB},
    };
    return partitions;
}

bool board_create(const std::string& dir, std::string* error) {
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "mtd", ec);
    if (!ec) fs::create_directories(fs::path(dir) / "user" / "images", ec);
    if (ec) return fail(error, "cannot create the board in '" + dir + "': " + ec.message());

    for (const PartitionSpec& layout : board_partitions()) {
        if (!write_file(partition_file(dir, layout.name), std::vector<uint8_t>(layout.size, 0xFF), error)) return false;
    }
    std::vector<uint8_t> registers(I2C1_REGISTER_COUNT, 0x00);
    registers[4] = I2C1_REGISTER4_AT_POWER_ON;
    if (!write_file(fs::path(dir) / "eeprom.bin", std::vector<uint8_t>(EEPROM_SIZE, 0xFF), error) ||
        !write_file(fs::path(dir) / "i2c1-0x20.bin", registers, error) ||
        !write_file(fs::path(dir) / "faults", {}, error))
        return false;
    fs::remove(fs::path(dir) / "devices.log", ec);
    return true;
}

// The environment block fills the partition: a CRC-32 of everything after it, stored in the
// target's (big-endian) byte order, then "name=value" strings each ending in a zero byte; the
// zeros after the last one end the list.
bool board_set_env(const std::string& dir, const std::vector<std::string>& settings, std::string* error) {
    fs::path path = partition_file(dir, "ubootenv");
    std::error_code ec;
    uintmax_t size = fs::file_size(path, ec);
    if (ec) return fail(error, "cannot read '" + path.string() + "': " + ec.message());
    if (size < 5) return fail(error, "the ubootenv partition is too small for an environment");

    std::vector<uint8_t> block(size, 0x00);
    size_t at = 4;
    for (const std::string& setting : settings) {
        if (setting.find('=') == std::string::npos)
            return fail(error, "environment setting '" + setting + "' is not NAME=VALUE");
        // Keep a final zero byte free: it ends the list.
        if (setting.size() + 1 > block.size() - 1 - at)
            return fail(
                error, "the environment does not fit into the ubootenv partition (" + std::to_string(size) + " bytes)");
        std::memcpy(block.data() + at, setting.data(), setting.size());
        at += setting.size() + 1;
    }
    uint32_t crc = env_crc32(block.data() + 4, block.size() - 4);
    block[0] = static_cast<uint8_t>(crc >> 24);
    block[1] = static_cast<uint8_t>(crc >> 16);
    block[2] = static_cast<uint8_t>(crc >> 8);
    block[3] = static_cast<uint8_t>(crc);
    return write_file(path, block, error);
}

bool board_get_env(const std::string& dir, std::vector<std::string>* settings, std::string* error) {
    fs::path path = partition_file(dir, "ubootenv");
    std::vector<uint8_t> block;
    if (!read_file(path, &block, error)) return false;
    if (block.size() < 5 || size_t(std::count(block.begin(), block.end(), 0xFF)) == block.size())
        return true;  // erased: the boot loader has no environment there
    uint32_t stored = uint32_t(block[0]) << 24 | uint32_t(block[1]) << 16 | uint32_t(block[2]) << 8 | block[3];
    if (stored != env_crc32(block.data() + 4, block.size() - 4))
        return fail(error, "the environment in '" + path.string() + "' has a bad checksum");
    block.push_back(0);
    for (size_t at = 4; at < block.size() && block[at] != 0; at += settings->back().size() + 1)
        settings->emplace_back(reinterpret_cast<const char*>(block.data() + at));
    return true;
}

bool board_eeprom_read(const std::string& dir, uint32_t offset, uint8_t* value, std::string* error) {
    if (!check_eeprom_offset(offset, error)) return false;
    std::vector<uint8_t> bytes;
    if (!read_file(fs::path(dir) / "eeprom.bin", &bytes, error)) return false;
    *value = offset < bytes.size() ? bytes[offset] : 0xFF;
    return true;
}

bool board_eeprom_write(const std::string& dir, uint32_t offset, uint8_t value, std::string* error) {
    if (!check_eeprom_offset(offset, error)) return false;
    return patch_file(fs::path(dir) / "eeprom.bin", offset, &value, 1, error);
}

bool board_flash_file(const std::string& dir, const std::string& partition, const std::string& file,
                      std::string* error) {
    if (!known_partition(partition))
        return fail(error,
                    "unknown partition '" + partition + "' (uboot, ubootenv, devicetree, kernel, rfs or rescue)");
    fs::path target = partition_file(dir, partition);
    std::error_code ec;
    uintmax_t partition_size = fs::file_size(target, ec);
    if (ec) return fail(error, "cannot read '" + target.string() + "': " + ec.message());
    std::vector<uint8_t> bytes;
    if (!read_file(file, &bytes, error)) return false;
    if (bytes.size() > partition_size)
        return fail(error, "'" + file + "' is " + std::to_string(bytes.size()) + " bytes, larger than partition " +
                               partition + " (" + std::to_string(partition_size) + " bytes)");
    return patch_file(target, 0, bytes.data(), bytes.size(), error);
}
