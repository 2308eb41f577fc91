#include "support/test_board.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "board.h"
#include "devices.h"
#include "hw/eeprom.h"
#include "hw/flash.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<uint8_t> bytes(fs::file_size(path));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void patch_byte(const std::string& path, uint32_t offset, uint8_t value)
{
    std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(offset);
    io.put(static_cast<char>(value));
    if (!io)
        throw std::runtime_error("cannot write " + path);
}

uint8_t byte_at(const std::string& path, uint32_t offset)
{
    std::vector<uint8_t> bytes = read_bytes(path);
    if (offset >= bytes.size())
        throw std::runtime_error("no byte " + std::to_string(offset) + " in " + path);
    return bytes[offset];
}

// The records as the program starts with them; descriptors that an earlier test left are not
// ours to close.
void reset_board_records()
{
    flash_partitions = FlashPartitions{};
    i2c_bus_fd[0] = -1;
    i2c_bus_fd[1] = -1;
}

}  // namespace

TestBoard::TestBoard(double time_scale)
{
    std::string pattern = (fs::temp_directory_path() / "bm-board-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary board directory");
    dir = pattern;
    std::string error;
    if (!board_create(dir, &error))
        throw std::runtime_error("board_create: " + error);
    setenv("BMSIM_TIME_SCALE", std::to_string(time_scale).c_str(), 1);
    sim_devices_attach(dir.c_str());
    reset_board_records();
}

TestBoard::~TestBoard()
{
    close_board_devices();
    sim_devices_detach();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string TestBoard::path(const std::string& relative) const
{
    return dir + "/" + relative;
}

std::vector<std::string> TestBoard::log() const
{
    std::ifstream in(path("devices.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void TestBoard::clear_log() const
{
    std::error_code ec;
    fs::remove(path("devices.log"), ec);
}

void TestBoard::set_faults(const std::string& lines) const
{
    std::ofstream(path("faults"), std::ios::trunc) << lines;
}

std::vector<uint8_t> TestBoard::partition(const std::string& name) const
{
    return read_bytes(path("mtd/" + name + ".bin"));
}

void TestBoard::set_partition(const std::string& name, const std::vector<uint8_t>& bytes) const
{
    write_bytes(path("mtd/" + name + ".bin"), bytes);
}

void TestBoard::set_erase_size(const std::string& name, uint32_t erase_size) const
{
    std::ofstream(path("mtd/" + name + ".erasesize"), std::ios::trunc) << erase_size << "\n";
}

uint8_t TestBoard::eeprom(uint32_t offset) const
{
    return byte_at(path("eeprom.bin"), offset);
}

void TestBoard::set_eeprom(uint32_t offset, uint8_t value) const
{
    patch_byte(path("eeprom.bin"), offset, value);
}

uint8_t TestBoard::i2c1_register(uint8_t reg) const
{
    return byte_at(path("i2c1-0x20.bin"), reg);
}

void TestBoard::set_i2c1_register(uint8_t reg, uint8_t value) const
{
    patch_byte(path("i2c1-0x20.bin"), reg, value);
}

void close_board_devices()
{
    int* partitions[] = {&flash_partitions.uboot, &flash_partitions.ubootenv, &flash_partitions.devicetree,
                         &flash_partitions.kernel, &flash_partitions.rfs,     &flash_partitions.rescue};
    for (int* fd : partitions) {
        if (*fd >= 0)
            close(*fd);
    }
    for (int& fd : i2c_bus_fd) {
        if (fd > 0)
            close(fd);
    }
    reset_board_records();
}

std::string capture_stdout(const std::function<void()>& call)
{
    fflush(stdout);
    char name[] = "/tmp/bm-stdout-XXXXXX";
    int capture = mkstemp(name);
    if (capture < 0)
        throw std::runtime_error("cannot make a capture file");
    unlink(name);
    int saved = dup(STDOUT_FILENO);
    dup2(capture, STDOUT_FILENO);
    call();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string bytes;
    char chunk[4096];
    lseek(capture, 0, SEEK_SET);
    for (ssize_t n; (n = read(capture, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<size_t>(n));
    close(capture);
    return bytes;
}

std::vector<std::string> log_lines_starting(const std::vector<std::string>& log,
                                            const std::vector<std::string>& prefixes)
{
    std::vector<std::string> kept;
    for (const std::string& line : log) {
        for (const std::string& prefix : prefixes) {
            if (line.rfind(prefix, 0) == 0) {
                kept.push_back(line);
                break;
            }
        }
    }
    return kept;
}
