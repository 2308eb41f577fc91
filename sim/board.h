// The board-state directory of the simulated board and the operations on it.
//
//   DIR/mtd/<name>.bin         contents of partition <name>: uboot, ubootenv, devicetree,
//                              kernel, rfs, rescue; the partition's size is the file's size
//   DIR/mtd/<name>.erasesize   optional erase size in bytes (decimal); 65536 when absent
//   DIR/eeprom.bin             the 64 KiB EEPROM at 0x54 on bus 0
//   DIR/i2c1-0x20.bin          the 256 registers of the device at 0x20 on bus 1
//   DIR/faults                 faults to inject, one per line (sim/README.md)
//   DIR/devices.log            the emulator's transaction log, one line per request
//   DIR/log                    what the switch's programs were asked to do, and how starts ended
//   DIR/user/                  the switch's /user (holds images/)
//   DIR/usb/                   the USB stick's files
//   DIR/usb.inserted           present while a stick is inserted; holds its readiness delay
//   DIR/backtrace.env, .cwd    environment and working directory the application was started with
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct PartitionSpec {
    const char* name;
    uint32_t size;
    uint32_t erase_size;
};

// The six partitions with their default sizes.
const std::vector<PartitionSpec>& board_partitions();

// Creates a fresh board: erased flash, an EEPROM of 0xFF, an empty /user with /user/images.
bool board_create(const std::string& dir, std::string* error);
// Writes the boot-loader environment: a 4-byte checksum, then zero-terminated settings.
bool board_set_env(const std::string& dir, const std::vector<std::string>& settings, std::string* error);
// Reads the settings back, in order; none for an erased partition. A bad checksum is an error.
bool board_get_env(const std::string& dir, std::vector<std::string>* settings, std::string* error);
bool board_eeprom_read(const std::string& dir, uint32_t offset, uint8_t* value, std::string* error);
bool board_eeprom_write(const std::string& dir, uint32_t offset, uint8_t value, std::string* error);
// Reads a whole file of the host; a directory is refused by name.
bool board_read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
// Writes a file at offset 0 of a partition, as a factory programmer would (no erase needed).
bool board_flash_file(const std::string& dir, const std::string& partition, const std::string& file,
                      std::string* error);
