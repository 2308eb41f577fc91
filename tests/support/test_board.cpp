#include "support/test_board.h"

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "board.h"
#include "devices.h"
#include "hw/eeprom.h"
#include "hw/flash.h"

namespace fs = std::filesystem;

namespace {

// The records as the program starts with them; descriptors that an earlier test left are not
// ours to close.
void reset_board_records() {
    flash_partitions = FlashPartitions{};
    i2c_bus_fd[0] = i2c_bus_fd[1] = -1;
}

}  // namespace

TestBoard::TestBoard(double time_scale) {
    std::string pattern = (fs::temp_directory_path() / "bm-board-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary board directory");
    dir = pattern;
    std::string error;
    if (!board_create(dir, &error)) throw std::runtime_error("board_create: " + error);
    setenv("BMSIM_TIME_SCALE", std::to_string(time_scale).c_str(), 1);
    sim_devices_attach(dir.c_str());
    reset_board_records();
}

TestBoard::~TestBoard() {
    close_board_devices();
    sim_devices_detach();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

void close_board_devices() {
    for (int fd : {flash_partitions.uboot, flash_partitions.ubootenv, flash_partitions.devicetree,
                   flash_partitions.kernel, flash_partitions.rfs, flash_partitions.rescue})
        if (fd >= 0) close(fd);
    for (int fd : i2c_bus_fd)
        if (fd > 0) close(fd);
    reset_board_records();
}

std::string capture_stdout(const std::function<void()>& call) {
    fflush(stdout);
    FILE* capture = tmpfile();
    if (!capture) throw std::runtime_error("cannot make a capture file");
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(capture), STDOUT_FILENO);
    call();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string bytes(size_t(ftell(capture)), '\0');
    rewind(capture);
    bytes.resize(fread(bytes.data(), 1, bytes.size(), capture));
    fclose(capture);
    return bytes;
}

std::vector<std::string> log_lines_starting(const std::vector<std::string>& log,
                                            const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    for (const std::string& line : log)
        if (std::any_of(prefixes.begin(), prefixes.end(), [&](const auto& p) { return line.rfind(p, 0) == 0; }))
            kept.push_back(line);
    return kept;
}
