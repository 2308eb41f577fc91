// Run-time options taken from the boot loader's environment.
#pragma once
#include <cstdint>

struct BootOptions {
    bool gdb = false;
    bool gdbserver = false;
    bool diagnostics_rescue = false;
    bool diagnostics_diags = false;
    bool shell = false;
    bool memchk = false;
    int32_t gdbport = 1234;
    uint8_t start_limit = 0;  // startlimit=1..9: the rollback after failed starts; 0: off
};
extern BootOptions boot_options;

constexpr uint32_t BOOT_ENV_OFFSET = 4;  // after the environment's checksum word
constexpr uint32_t BOOT_ENV_LENGTH = 1280;

void read_boot_parameters();
// Applies the key lookups to an environment text in which the settings are separated by blanks.
void parse_boot_parameters(const char* text, BootOptions* options);
