// Temporary simulated boards for unit tests: the device emulator linked into the tests answers
// the MTD and I2C requests of the code under test from a board directory.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "board.h"
#include "devices.h"
#include "hw/eeprom.h"
#include "hw/flash.h"
#include "support/console_driver.h"

// Closes the flash partitions and I2C buses held in the process-wide records and resets them
// to their start values (-1). Without closing, it only resets them: descriptors that an earlier
// test left are not ours to close.
inline void close_board_devices(bool close_them = true) {
    for (int fd :
         {flash_partitions.uboot, flash_partitions.ubootenv, flash_partitions.devicetree, flash_partitions.kernel,
          flash_partitions.rfs, flash_partitions.rescue, i2c_bus_fd[0], i2c_bus_fd[1]})
        if (fd > 0 && close_them) close(fd);
    flash_partitions = FlashPartitions{};
    i2c_bus_fd[0] = i2c_bus_fd[1] = -1;
}

// A fresh board (board_create) in a new temporary directory, with the device emulator attached
// to it for the object's lifetime. The emulator's sleeps are scaled to nothing unless a time
// scale is given. On destruction it closes the descriptors that the code under test left in
// the process-wide records (flash partitions, I2C buses), detaches and removes the directory.
struct TestBoard {
    std::string dir = temp_dir("bm-board");
    explicit TestBoard(double time_scale = 0) {
        std::string error;
        if (!board_create(dir, &error)) throw std::runtime_error("board_create: " + error);
        setenv("BMSIM_TIME_SCALE", std::to_string(time_scale).c_str(), 1);
        sim_devices_attach(dir.c_str());
        close_board_devices(false);
    }
    ~TestBoard() {
        close_board_devices();
        sim_devices_detach();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TestBoard(const TestBoard&) = delete;
    TestBoard& operator=(const TestBoard&) = delete;

    std::string path(const std::string& relative) const { return dir + "/" + relative; }
    // The transaction log's lines; clear_log() empties it.
    std::vector<std::string> log() const {
        std::istringstream in(read_text_file(path("devices.log")));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    void clear_log() const { std::remove(path("devices.log").c_str()); }
    // Replaces the faults file (one fault per line).
    void set_faults(const std::string& lines) const { std::ofstream(path("faults")) << lines; }
    // Contents of a partition's backing file, and a replacement of them.
    std::vector<uint8_t> partition(const std::string& name) const { return read_binary_file(path(mtd(name))); }
    void set_partition(const std::string& name, const std::vector<uint8_t>& bytes) const {
        write_binary_file(path(mtd(name)), bytes);
    }
    // One byte of the EEPROM, and of the registers of the device at 0x20 on bus 1.
    uint8_t eeprom(uint32_t offset) const { return read_binary_file(path("eeprom.bin")).at(offset); }
    void set_eeprom(uint32_t offset, uint8_t value) const { patch(path("eeprom.bin"), offset, value); }
    uint8_t i2c1_register(uint8_t reg) const { return read_binary_file(path("i2c1-0x20.bin")).at(reg); }
    void set_i2c1_register(uint8_t reg, uint8_t value) const { patch(path("i2c1-0x20.bin"), reg, value); }

private:
    static std::string mtd(const std::string& name) { return "mtd/" + name + ".bin"; }
    static void patch(const std::string& file, uint32_t offset, uint8_t value) {
        std::vector<uint8_t> bytes = read_binary_file(file);
        bytes.at(offset) = value;
        write_binary_file(file, bytes);
    }
};

// A fresh board with its kernel partition opened as the program opens it, closed at the end.
struct KernelPartitionTest : ::testing::Test {
    TestBoard board;
    int fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC);
    void TearDown() override { close(fd); }
};

// Runs the call and returns every byte it wrote to standard output (stdio and write(1)).
inline std::string capture_stdout(const std::function<void()>& call) {
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}

// The lines of the log that start with one of the prefixes, in order.
inline std::vector<std::string> log_lines_starting(const std::vector<std::string>& log,
                                                   const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    std::ranges::copy_if(log, std::back_inserter(kept), [&](const std::string& line) {
        return std::ranges::any_of(prefixes, [&](const std::string& prefix) { return line.starts_with(prefix); });
    });
    return kept;
}
