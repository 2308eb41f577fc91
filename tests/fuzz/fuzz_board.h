// A simulated board for the fuzz targets that reach the flash: made once in a temporary folder,
// with the device emulator attached to it, so that every device request of the code under test
// goes to the board's files and never to the host's devices.
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "board.h"
#include "devices.h"
#include "hw/flash.h"

inline const std::string& fuzz_board() {
    static const std::string dir = [] {
        char path[] = "/tmp/bm-fuzz-board-XXXXXX";
        std::string error;
        if (!mkdtemp(path) || !board_create(path, &error)) abort();
        setenv("BMSIM_TIME_SCALE", "0", 1);
        static std::string made = path;  // removed when the fuzzer exits
        atexit([] {
            sim_devices_detach();
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        sim_devices_attach(path);
        flash_open_partitions();
        // the partitions must be the board's files: never anything of the host's
        struct stat status;
        if (fstat(flash_partitions.kernel, &status) != 0 || !S_ISREG(status.st_mode)) abort();
        return std::string(path);
    }();
    return dir;
}

// The input as a file of the board's folder, for code that opens a path.
inline std::string fuzz_file(const uint8_t* data, size_t size, const char* name) {
    std::string path = fuzz_board() + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();
    return path;
}
