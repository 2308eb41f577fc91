// The device emulator's own cost, side by side in one run: an install's flash phase (flash_write
// of a 15,000,000-byte image into the rfs partition: per 64 KiB block one read, one erase and 64
// writes of 1 KiB, 15,115 requests in all) against a plain erase-and-write of the same 229 blocks
// (one erase and one write per block, 458 requests), both through the preloaded emulator
// (libbmsim_devices.so is linked in) on a temporary board. Each round times one of each in turn;
// the figure is the median of the rounds' ratios, with their range, so that a busy machine moves
// both sides of a ratio alike. Once on a board without a faults file and once with a faults file
// whose one line never fires, as in the fault sweeps.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board.h"
#include "devices.h"
#include "hw/flash.h"

namespace {

constexpr uint32_t IMAGE_SIZE = 15000000;
constexpr uint32_t BLOCK = 65536;
constexpr int ROUNDS = 9;

size_t log_lines(const std::string& board) {
    std::ifstream log(board + "/devices.log");
    return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>(), '\n'));
}

void install_flash_phase(int fd, const std::vector<uint8_t>& image) {
    if (flash_write(image.data(), fd, 0, IMAGE_SIZE, 0) != 0) std::exit(1);
}

void plain_erase_and_write(int fd, const std::vector<uint8_t>& image) {
    std::vector<uint8_t> block(BLOCK, 0xFF);
    for (uint32_t at = 0; at < IMAGE_SIZE; at += BLOCK) {
        erase_info_user erase{at, BLOCK};
        std::copy_n(image.begin() + at, std::min(BLOCK, IMAGE_SIZE - at), block.begin());
        if (ioctl(fd, MEMERASE, &erase) != 0 || pwrite(fd, block.data(), BLOCK, at) != BLOCK) std::exit(1);
    }
}

struct Timing {
    double seconds;
    size_t requests;
};

Timing timed(const std::string& board, int fd, const std::vector<uint8_t>& image,
             void (*writer)(int, const std::vector<uint8_t>&)) {
    sim_devices_attach(board.c_str());  // the request counters start again
    std::filesystem::remove(board + "/devices.log");
    auto start = std::chrono::steady_clock::now();
    writer(fd, image);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {took.count(), log_lines(board)};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void compare(const std::string& board, const char* what) {
    int fd = open("/dev/mtd-rfs", O_RDWR | O_DSYNC);
    if (fd < 0) {
        std::perror("/dev/mtd-rfs on the emulated board");
        std::exit(1);
    }
    std::vector<uint8_t> image(IMAGE_SIZE);
    for (uint32_t i = 0; i < IMAGE_SIZE; ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    std::vector<double> install, plain, ratios;
    size_t install_requests = 0, plain_requests = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        Timing a = timed(board, fd, image, install_flash_phase), b = timed(board, fd, image, plain_erase_and_write);
        install.push_back(a.seconds);
        plain.push_back(b.seconds);
        ratios.push_back(a.seconds / b.seconds);
        install_requests = a.requests;
        plain_requests = b.requests;
    }
    close(fd);
    std::printf(
        "%s: install's flash phase %.3f s (%zu requests), plain erase-and-write %.3f s (%zu requests): "
        "%.1f times (rounds %.1f to %.1f)\n",
        what, median(install), install_requests, median(plain), plain_requests, median(ratios),
        *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
}

}  // namespace

int main() {
    char dir_template[] = "/tmp/bm-emulator-bench-XXXXXX";
    if (!mkdtemp(dir_template)) return 1;
    const std::string board = dir_template;
    std::string error;
    if (!board_create(board, &error)) {
        std::fprintf(stderr, "board_create: %s\n", error.c_str());
        return 1;
    }
    sim_devices_attach(board.c_str());
    compare(board, "board without faults");
    std::ofstream(board + "/faults") << "power-cut request 1000000\n";
    compare(board, "faults file, no fault firing");
    sim_devices_detach();
    std::filesystem::remove_all(board);
    return 0;
}
