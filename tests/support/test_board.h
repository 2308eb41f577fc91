// Temporary simulated boards for unit tests: the device emulator linked into the tests answers
// the MTD and I2C requests of the code under test from a board directory.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A fresh board (board_create) in a new temporary directory, with the device emulator attached
// to it for the object's lifetime. The emulator's sleeps are scaled to nothing unless a time
// scale is given. On destruction it closes the descriptors that the code under test left in
// the process-wide records (flash partitions, I2C buses), detaches and removes the directory.
struct TestBoard {
    std::string dir;
    explicit TestBoard(double time_scale = 0);
    ~TestBoard();
    TestBoard(const TestBoard&) = delete;
    TestBoard& operator=(const TestBoard&) = delete;

    std::string path(const std::string& relative) const;  // dir + "/" + relative
    // The transaction log's lines; clear_log() empties it.
    std::vector<std::string> log() const;
    void clear_log() const;
    // Replaces the faults file (one fault per line).
    void set_faults(const std::string& lines) const;
    // Contents of a partition's backing file, and a replacement of them.
    std::vector<uint8_t> partition(const std::string& name) const;
    void set_partition(const std::string& name, const std::vector<uint8_t>& bytes) const;
    // One byte of the EEPROM, and of the registers of the device at 0x20 on bus 1.
    uint8_t eeprom(uint32_t offset) const;
    void set_eeprom(uint32_t offset, uint8_t value) const;
    uint8_t i2c1_register(uint8_t reg) const;
    void set_i2c1_register(uint8_t reg, uint8_t value) const;
};

// Closes the flash partitions and I2C buses held in the process-wide records and resets them
// to their start values (-1).
void close_board_devices();

// Runs the call and returns every byte it wrote to standard output (stdio and write(1)).
std::string capture_stdout(const std::function<void()>& call);

// The lines of the log that start with one of the prefixes, in order.
std::vector<std::string> log_lines_starting(const std::vector<std::string>& log,
                                            const std::vector<std::string>& prefixes);
