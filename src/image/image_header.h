// Image and package format: headers in three formats, CRC-32 and the walk through a package.
// Pure format code: no device, console or process access. Multi-byte fields are big-endian on
// every host.
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
    uint32_t magic;  // raw, bit 31 included
    HeaderFormat format;
    uint32_t header_len;
    uint32_t payload_len;
    uint32_t total_len;  // header_len + payload_len, unsigned 32-bit
};

uint32_t read_be32(const uint8_t* bytes);
uint16_t read_be16(const uint8_t* bytes);
void write_be32(uint8_t* bytes, uint32_t value);
ImageHeader decode_image_header(const uint8_t* bytes);

uint32_t crc32_update(const uint8_t* data, uint32_t length, uint32_t start);
bool image_crc_bad(const uint8_t* data, uint32_t length, uint32_t stored);

ImageLayout parse_image_header(const HeaderProbe& probe);
// False for lengths that cannot describe an image: a header under 16 bytes, a negative format-3
// payload, or a total that does not fit in 32 bits. A short image (16 to 23 bytes) is an image
// like any other; only a file's last piece under 24 bytes cannot be examined (no whole probe).
bool image_layout_sane(const ImageLayout& layout);

// ---- The walk through a package: the one walk of the boot path, the installer and bmimage ----

// One image as the walk found it.
struct FoundImage {
    uint64_t position;  // its first byte in the file
    ImageLayout layout;
    uint32_t type;                      // magic with bit 31 cleared
    uint8_t header[IMAGE_HEADER_SIZE];  // its first 16 bytes as they stand, bit 31 included
};

// A walk over a stream (from its start) or over a buffer. Each image starts at the byte after
// the previous one; nothing lies between them.
struct PackageWalk {
    FILE* stream;          // the file walked, or nullptr for a buffer
    const uint8_t* bytes;  // the buffer walked
    uint64_t size;         // the buffer's size
    uint64_t next;         // where the next image starts
    bool ended;
};

enum WalkStep {
    WALK_IMAGE,      // an image: the walk goes on after it
    WALK_MALFORMED,  // a header whose lengths cannot be stepped over: the walk ends here
    WALK_END,        // no whole probe at the next position (end of file, a short tail)
};

PackageWalk walk_stream(FILE* stream);
PackageWalk walk_buffer(const uint8_t* bytes, uint64_t size);
// The next image; the image is filled for WALK_IMAGE and WALK_MALFORMED. An image whose end lies
// past 2^32 is the walk's last: the position after it would wrap back to an earlier image.
WalkStep walk_next(PackageWalk* walk, FoundImage* image);

// Searches a stream that stands at its start for the first application or diagnostics image.
// On success the stream stands at that image's first byte. On failure image->header holds the
// first 16 bytes of the last header looked at (zeros when none could be read), so callers can
// show what was found instead.
bool find_image_header(FILE* stream, FoundImage* image);

// "a.b.c.d" of a version id; out must hold 16 bytes.
void format_version(uint32_t id, char* out);
