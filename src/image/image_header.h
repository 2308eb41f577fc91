// Image and package format: headers in three formats, CRC-32, the walk through a package,
// installed headers read back. Multi-byte fields are big-endian on every host.
#pragma once
#include <cstdint>
#include <cstdio>

enum ImageType : uint32_t {
    IMAGE_APPLICATION = 0x01504754,
    IMAGE_BOOTLOADER = 0x02504754,
    IMAGE_KERNEL = 0x03504754,
    IMAGE_ROOTFS = 0x04504754,
    IMAGE_DEVICETREE = 0x05504754,
    IMAGE_DIAGNOSTICS = 0x06504754,
};

enum HeaderFormat : uint8_t { HEADER_FORMAT_1 = 1, HEADER_FORMAT_2 = 2, HEADER_FORMAT_3 = 3 };

constexpr uint32_t FORMAT3_MARKER = 0x48445233;
constexpr uint32_t MAGIC_FORMAT2_BIT = 0x80000000u;
constexpr uint32_t IMAGE_TYPE_MASK = 0x7FFFFFFFu;
constexpr uint32_t IMAGE_HEADER_SIZE = 16;
constexpr uint32_t HEADER_PROBE_SIZE = 24;
constexpr uint32_t BOOTLOADER_HEADER_OFFSET = 240;  // the boot loader carries a header copy here

// The 16 bytes at the start of every image, decoded to host order.
struct ImageHeader {
    uint32_t crc;
    uint32_t len;
    uint32_t magic;
    uint32_t id;
};

// The first 24 bytes of an image as they stand in the file.
struct HeaderProbe {
    uint8_t bytes[HEADER_PROBE_SIZE];
};

struct ImageLayout {
    uint32_t magic;        // raw, bit 31 included
    HeaderFormat format;
    uint32_t header_len;
    uint32_t payload_len;
    uint32_t total_len;    // header_len + payload_len, unsigned 32-bit
};

uint32_t read_be32(const uint8_t* bytes);
uint16_t read_be16(const uint8_t* bytes);
void write_be32(uint8_t* bytes, uint32_t value);
ImageHeader decode_image_header(const uint8_t* bytes);

uint32_t crc32_update(const uint8_t* data, uint32_t length, uint32_t start);
bool image_crc_bad(const uint8_t* data, uint32_t length, uint32_t stored);

ImageLayout parse_image_header(const HeaderProbe& probe);
// False for lengths that cannot describe an image: a header under 16 bytes, a negative format-3
// payload, a total under 24 bytes or one that wraps past 2^32.
bool image_layout_sane(const ImageLayout& layout);

// Searches a stream that stands at its start for the first application or diagnostics image.
// On success the stream stands at that image's first byte and header_copy holds its raw first
// 16 bytes. On failure header_copy holds the raw first 16 bytes of the last header looked at
// (zeros when none could be read), so callers can show what was found instead.
bool find_image_header(FILE* stream, uint32_t* type, HeaderFormat* format, uint32_t* header_len,
                       uint32_t* payload_len, uint8_t* header_copy);

bool read_installed_header(uint32_t type, uint8_t* header, int slot);
bool same_version(const uint8_t* new_header, int slot);

// "a.b.c.d" of a version id; out must hold 16 bytes.
void format_version(uint32_t id, char* out);
