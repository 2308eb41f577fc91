// CRC-32 of images, with slicing-by-16 tables.
// Boot time on the switch goes mostly into this loop. Slicing-by-16: table k gives the effect of
// a byte followed by k zero bytes, so sixteen bytes are folded in with sixteen lookups instead of
// 128 shift steps. The result is bit for bit that of the shift-register definition (reflected
// polynomial 0xEDB88320, no final inversion).
#include "image/image_header.h"

#include <array>

namespace {

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;
constexpr int CRC32_SLICES = 16;
using Crc32Tables = std::array<std::array<uint32_t, 256>, CRC32_SLICES>;

constexpr Crc32Tables make_crc32_tables() {
    Crc32Tables tables{};
    for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t reg = byte;
        for (int bit = 0; bit < 8; bit++) reg = (reg & 1) ? (reg >> 1) ^ CRC32_POLYNOMIAL : reg >> 1;
        tables[0][byte] = reg;
    }
    for (int k = 1; k < CRC32_SLICES; k++)
        for (uint32_t byte = 0; byte < 256; byte++) {
            uint32_t prev = tables[k - 1][byte];
            tables[k][byte] = (prev >> 8) ^ tables[0][prev & 0xFF];
        }
    return tables;
}

constexpr Crc32Tables crc32_tables = make_crc32_tables();

// The register takes the first byte in its low bits, so four bytes combine little-endian on
// every host; the compiler turns this into one load where the host allows it.
inline uint32_t load_le32(const uint8_t* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// The twelve lookups of bytes 4 to 15 do not depend on the register; they are summed apart, so
// that only four lookups and a few XORs stand between one register value and the next.
inline uint32_t crc32_fold16(uint32_t reg, const uint8_t* p) {
    const auto& t = crc32_tables;
    uint32_t b = load_le32(p + 4);
    uint32_t c = load_le32(p + 8);
    uint32_t d = load_le32(p + 12);
    uint32_t rest = (t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24]) ^
                    (t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24]) ^
                    (t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24]);
    uint32_t a = reg ^ load_le32(p);
    uint32_t head = (t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF]) ^ (t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24]);
    return rest ^ head;
}

}  // namespace

uint32_t crc32_update(const uint8_t* data, uint32_t length, uint32_t start) {
    uint32_t reg = start;
    for (; length >= CRC32_SLICES; length -= CRC32_SLICES, data += CRC32_SLICES) reg = crc32_fold16(reg, data);
    for (; length > 0; length--, data++) reg = (reg >> 8) ^ crc32_tables[0][(reg ^ *data) & 0xFF];
    return reg;
}

bool image_crc_bad(const uint8_t* data, uint32_t length, uint32_t stored) {
    return crc32_update(data, length, 0xFFFFFFFFu) != stored;
}
