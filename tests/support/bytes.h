// Bytes as the tests handle them (images, packages, partition and file contents), and the
// pattern that fills them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// size bytes from a seed, which repeat only after 64 KiB: a byte that lands in the wrong place
// shows.
inline Bytes pattern_bytes(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}
