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
#include "support/bytes.h"

namespace {

constexpr uint32_t BUFFER_SIZE = 64u << 20;

// zlib inverts the register on entry and on exit; undoing both gives the same register.
uint32_t crc32_zlib(const uint8_t* data, uint32_t length, uint32_t reg) {
    return ~uint32_t(crc32(~reg & 0xFFFFFFFFu, data, length));
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = std::max(1, argc > 1 ? atoi(argv[1]) : 9);
    std::vector<uint8_t> buffer(BUFFER_SIZE);
    std::generate(buffer.begin(), buffer.end(), std::mt19937(42));
    // The contenders, each with its best throughput and its result. Rounds alternate between
    // them, so that a busy machine slows each alike; the slow definition runs in the first two
    // rounds only.
    const char* names[] = {"bit-by-bit definition", "crc32_update", "zlib crc32"};
    uint32_t (*const crcs[])(const uint8_t*, uint32_t, uint32_t) = {crc32_bitwise, crc32_update, crc32_zlib};
    double best[3] = {};
    uint32_t results[3] = {};
    for (int round = 0; round < rounds; round++)
        for (int i = round < 2 ? 0 : 1; i < 3; i++) {
            auto start = std::chrono::steady_clock::now();
            results[i] = crcs[i](buffer.data(), BUFFER_SIZE, 0xFFFFFFFFu);
            std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
            best[i] = std::max(best[i], (BUFFER_SIZE >> 20) / seconds.count());
        }
    printf("CRC-32 over %u MiB, best of %d runs (the bit-by-bit definition: %d)\n", BUFFER_SIZE >> 20, rounds,
           std::min(rounds, 2));
    for (int i = 0; i < 3; i++) printf("  %-24s %9.1f MiB/s\n", names[i], best[i]);
    for (auto [peer, target] : {std::pair{2, 0.95}, {0, 15.0}})
        printf("  crc32_update / %-21s %6.2f x  (target >= %g)  %s\n", names[peer], best[1] / best[peer], target,
               best[1] / best[peer] >= target ? "met" : "MISSED");
    bool agree = results[0] == results[1] && results[1] == results[2];
    printf("  results %s: 0x%08X\n", agree ? "agree" : "DIFFER", results[1]);
    return agree ? 0 : 1;
}
