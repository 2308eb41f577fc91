// The image format's header layouts: big-endian fields, the three header formats and the
// version id. CRC-32 is in crc32.cpp, the walk through a package in package_walk.cpp.
#include "image/image_header.h"

uint32_t read_be32(const uint8_t* b) {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

uint16_t read_be16(const uint8_t* b) { return uint16_t(b[0] << 8 | b[1]); }

void write_be32(uint8_t* b, uint32_t v) {
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}

ImageHeader decode_image_header(const uint8_t* b) {
    return {read_be32(b), read_be32(b + 4), read_be32(b + 8), read_be32(b + 12)};
}

ImageLayout parse_image_header(const HeaderProbe& probe) {
    const uint8_t* b = probe.bytes;
    uint32_t len = read_be32(b + 4);
    ImageLayout layout{};
    layout.magic = read_be32(b + 8);
    if (read_be32(b + 16) == FORMAT3_MARKER) {
        layout.format = HEADER_FORMAT_3;
        layout.header_len = read_be16(b + 22);
        layout.payload_len = len - layout.header_len + IMAGE_HEADER_SIZE;
    } else if (layout.magic & MAGIC_FORMAT2_BIT) {
        layout.format = HEADER_FORMAT_2;
        layout.header_len = read_be16(b + 18);
        layout.payload_len = len;
    } else {
        layout.format = HEADER_FORMAT_1;
        layout.header_len = IMAGE_HEADER_SIZE;
        layout.payload_len = len;
    }
    layout.total_len = layout.header_len + layout.payload_len;
    return layout;
}

// A format-3 `len` under header length - 16 gives a "negative" payload that wraps, and a `len`
// near 2^32 gives a total that wraps: both show as header length + payload beyond 32 bits.
bool image_layout_sane(const ImageLayout& layout) {
    uint64_t total = uint64_t(layout.header_len) + layout.payload_len;
    return layout.header_len >= IMAGE_HEADER_SIZE && total <= 0xFFFFFFFFu;
}

void format_version(uint32_t id, char* out) {
    snprintf(out, 16, "%d.%d.%d.%d", int(id >> 24), int((id >> 16) & 255), int((id >> 8) & 255), int(id & 255));
}
