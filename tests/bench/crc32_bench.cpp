// Throughput of the CRC-32 that guards every image, against the bit-by-bit definition and
// against zlib, on one 64 MiB buffer. Each is timed several times and the best run counts.
//   crc32_bench [ROUNDS]     default 9
// Fault tried: a final inversion in crc32_update -> "results DIFFER", exit status 1.
#include <zlib.h>

#include <algorithm>
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
    for (uint32_t i = 0; i < length; i++)
        for (int bit = 0; bit < 8; bit++) reg = ((reg ^ (data[i] >> bit)) & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    return reg;
}

// zlib inverts the register on entry and on exit; undoing both gives the same register.
uint32_t crc32_zlib(const uint8_t* data, uint32_t length, uint32_t reg) {
    return ~uint32_t(crc32(~reg & 0xFFFFFFFFu, data, length));
}

// One contender: its best time over the rounds it runs, and its result.
struct Contender {
    const char* name;
    uint32_t (*crc)(const uint8_t*, uint32_t, uint32_t);
    int rounds;
    double mib_per_second = 0;
    uint32_t result = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = std::max(1, argc > 1 ? atoi(argv[1]) : 9);
    std::vector<uint8_t> buffer(BUFFER_SIZE);
    std::mt19937 rng(42);
    for (uint8_t& b : buffer) b = uint8_t(rng());

    // Rounds alternate between the contenders, so that a busy machine slows each alike; the slow
    // definition runs in the first two rounds only.
    Contender bitwise{"bit-by-bit definition", crc32_bitwise, 2}, project{"crc32_update", crc32_update, rounds},
        zlib{"zlib crc32", crc32_zlib, rounds};
    for (int round = 0; round < rounds; round++)
        for (Contender* c : {&bitwise, &project, &zlib})
            if (round < c->rounds) {
                auto start = std::chrono::steady_clock::now();
                c->result = c->crc(buffer.data(), BUFFER_SIZE, 0xFFFFFFFFu);
                std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
                c->mib_per_second = std::max(c->mib_per_second, (BUFFER_SIZE >> 20) / seconds.count());
            }

    printf("CRC-32 over %u MiB, best of %d runs (the bit-by-bit definition: %d)\n", BUFFER_SIZE >> 20, rounds,
           rounds < 2 ? rounds : 2);
    for (Contender* c : {&bitwise, &project, &zlib}) printf("  %-24s %9.1f MiB/s\n", c->name, c->mib_per_second);
    for (auto [peer, target] : {std::pair{&zlib, 0.95}, {&bitwise, 15.0}}) {
        double ratio = project.mib_per_second / peer->mib_per_second;
        printf("  crc32_update / %-21s %6.2f x  (target >= %g)  %s\n", peer->name, ratio, target,
               ratio >= target ? "met" : "MISSED");
    }

    bool agree = bitwise.result == project.result && project.result == zlib.result;
    printf("  results %s: 0x%08X\n", agree ? "agree" : "DIFFER", project.result);
    return agree ? 0 : 1;
}
