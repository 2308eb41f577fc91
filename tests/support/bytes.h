// Bytes as the tests handle them (images, packages, partition and file contents): the pattern
// that fills them, packages of images, and the CRC-32 by its definition.
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

// The parts back to back, as a package holds its images.
inline Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The definition: eight shift steps per byte, least significant bit first, no table.
inline uint32_t crc32_bitwise(const uint8_t* data, uint32_t length, uint32_t reg) {
    for (uint32_t i = 0; i < length; i++)
        for (int bit = 0; bit < 8; bit++) reg = ((reg ^ (data[i] >> bit)) & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    return reg;
}
