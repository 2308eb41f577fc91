// Throughput of the CRC-32 that guards every image, against the bit-by-bit definition and
// against zlib, on one 64 MiB buffer. Each is timed several times and the best run counts.
//   crc32_bench [ROUNDS]     default 9
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "image/image_header.h"

namespace {

constexpr uint32_t BUFFER_SIZE = 64u << 20;

// The definition: eight shift steps per byte, least significant bit first.
uint32_t crc32_bitwise(const uint8_t* data, uint32_t length, uint32_t reg) {
    for (uint32_t i = 0; i < length; i++) {
        uint8_t byte = data[i];
        for (int bit = 0; bit < 8; bit++) {
            reg = ((reg ^ byte) & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
            byte >>= 1;
        }
    }
    return reg;
}

uint32_t crc32_project(const uint8_t* data, uint32_t length, uint32_t reg) { return crc32_update(data, length, reg); }

// zlib inverts the register on entry and on exit; undoing both gives the same register.
uint32_t crc32_zlib(const uint8_t* data, uint32_t length, uint32_t reg) {
    return ~uint32_t(crc32(~reg & 0xFFFFFFFFu, data, length));
}

struct Measurement {
    double seconds = 1e30;
    uint32_t result = 0;
};

void time_once(uint32_t (*crc)(const uint8_t*, uint32_t, uint32_t), const std::vector<uint8_t>& buffer,
               Measurement* best) {
    auto start = std::chrono::steady_clock::now();
    uint32_t result = crc(buffer.data(), uint32_t(buffer.size()), 0xFFFFFFFFu);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed.count() < best->seconds) *best = {elapsed.count(), result};
}

double mib_per_second(const Measurement& m) { return BUFFER_SIZE / m.seconds / (1 << 20); }

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 9;
    if (rounds < 1) rounds = 1;
    std::vector<uint8_t> buffer(BUFFER_SIZE);
    std::mt19937 rng(42);
    for (uint8_t& b : buffer) b = uint8_t(rng());

    // Rounds alternate between the contenders, so that a busy machine slows each alike; the slow
    // definition runs in the first two rounds only.
    Measurement bitwise, project, zlib;
    for (int round = 0; round < rounds; round++) {
        if (round < 2) time_once(crc32_bitwise, buffer, &bitwise);
        time_once(crc32_project, buffer, &project);
        time_once(crc32_zlib, buffer, &zlib);
    }

    printf("CRC-32 over %u MiB, best of %d runs (the bit-by-bit definition: %d)\n", BUFFER_SIZE >> 20, rounds,
           rounds < 2 ? rounds : 2);
    printf("  %-24s %9.1f MiB/s\n", "bit-by-bit definition", mib_per_second(bitwise));
    printf("  %-24s %9.1f MiB/s\n", "crc32_update", mib_per_second(project));
    printf("  %-24s %9.1f MiB/s\n", "zlib crc32", mib_per_second(zlib));
    double versus_zlib = mib_per_second(project) / mib_per_second(zlib);
    double versus_bitwise = mib_per_second(project) / mib_per_second(bitwise);
    printf("  crc32_update / zlib       %6.2f x  (target >= 0.95)  %s\n", versus_zlib,
           versus_zlib >= 0.95 ? "met" : "MISSED");
    printf("  crc32_update / bit-by-bit %6.2f x  (target >= 15)    %s\n", versus_bitwise,
           versus_bitwise >= 15 ? "met" : "MISSED");

    bool agree = bitwise.result == project.result && project.result == zlib.result;
    printf("  results %s: 0x%08X\n", agree ? "agree" : "DIFFER", project.result);
    return agree ? 0 : 1;
}
