// The image format: big-endian fields, the three header formats, CRC-32, the walk through a
// package and the installed headers read back for the version comparison.
#include "image/image_header.h"

#include <array>
#include <cstring>

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

// ---- CRC-32 ----------------------------------------------------------------------------------
// Boot time on the switch goes mostly into this loop. Slicing-by-16: table k gives the effect of
// a byte followed by k zero bytes, so sixteen bytes are folded in with sixteen lookups instead of
// 128 shift steps. The result is bit for bit that of the shift-register definition (reflected
// polynomial 0xEDB88320, no final inversion).

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;
constexpr int CRC32_SLICES = 16;
using Crc32Tables = std::array<std::array<uint32_t, 256>, CRC32_SLICES>;

static constexpr Crc32Tables make_crc32_tables() {
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

static constexpr Crc32Tables crc32_tables = make_crc32_tables();

// The register takes the first byte in its low bits, so four bytes combine little-endian on
// every host; the compiler turns this into one load where the host allows it.
static inline uint32_t load_le32(const uint8_t* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// The twelve lookups of bytes 4 to 15 do not depend on the register; they are summed apart, so
// that only four lookups and a few XORs stand between one register value and the next.
static inline uint32_t crc32_fold16(uint32_t reg, const uint8_t* p) {
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

uint32_t crc32_update(const uint8_t* data, uint32_t length, uint32_t start) {
    uint32_t reg = start;
    for (; length >= CRC32_SLICES; length -= CRC32_SLICES, data += CRC32_SLICES) reg = crc32_fold16(reg, data);
    for (; length > 0; length--, data++) reg = (reg >> 8) ^ crc32_tables[0][(reg ^ *data) & 0xFF];
    return reg;
}

bool image_crc_bad(const uint8_t* data, uint32_t length, uint32_t stored) {
    return crc32_update(data, length, 0xFFFFFFFFu) != stored;
}

// ---- Header formats --------------------------------------------------------------------------

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

// ---- The walk through a package --------------------------------------------------------------

PackageWalk walk_stream(FILE* stream) { return {stream, nullptr, 0, 0, false}; }

PackageWalk walk_buffer(const uint8_t* bytes, uint64_t size) { return {nullptr, bytes, size, 0, false}; }

// The probe is read as one item: a piece shorter than 24 bytes is no image.
static bool read_probe(const PackageWalk& walk, HeaderProbe* probe) {
    if (walk.stream == nullptr) {
        if (walk.next > walk.size || walk.size - walk.next < HEADER_PROBE_SIZE) return false;
        memcpy(probe->bytes, walk.bytes + walk.next, HEADER_PROBE_SIZE);
        return true;
    }
    return fseeko(walk.stream, off_t(walk.next), SEEK_SET) == 0 &&
           fread(probe->bytes, HEADER_PROBE_SIZE, 1, walk.stream) == 1;
}

// Every header is checked before it is used: a malformed length would make the walk stand
// still, step backwards or wrap around to an earlier image.
WalkStep walk_next(PackageWalk* walk, FoundImage* image) {
    HeaderProbe probe;
    if (walk->ended || !read_probe(*walk, &probe)) {
        walk->ended = true;
        return WALK_END;
    }
    image->position = walk->next;
    image->layout = parse_image_header(probe);
    image->type = image->layout.magic & IMAGE_TYPE_MASK;
    memcpy(image->header, probe.bytes, IMAGE_HEADER_SIZE);
    if (!image_layout_sane(image->layout)) {
        walk->ended = true;
        return WALK_MALFORMED;
    }
    // An image whose end lies past 2^32 is still an image (a bootable one is found, and then
    // fails its CRC on the short read); only the step beyond it would wrap, so it is the last.
    walk->next += image->layout.total_len;
    if (walk->next > 0xFFFFFFFFu) walk->ended = true;
    return WALK_IMAGE;
}

static bool bootable_type(uint32_t type) { return type == IMAGE_APPLICATION || type == IMAGE_DIAGNOSTICS; }

// Images of the other types are stepped over by their length; their CRC is not computed.
bool find_image_header(FILE* stream, FoundImage* image) {
    memset(image->header, 0, IMAGE_HEADER_SIZE);
    PackageWalk walk = walk_stream(stream);
    for (;;) {
        switch (walk_next(&walk, image)) {
            case WALK_END:
            case WALK_MALFORMED: return false;
            case WALK_IMAGE:
                if (bootable_type(image->type)) return fseeko(stream, off_t(image->position), SEEK_SET) == 0;
                break;
        }
    }
}

void format_version(uint32_t id, char* out) {
    snprintf(out, 16, "%d.%d.%d.%d", int(id >> 24), int((id >> 16) & 255), int((id >> 8) & 255), int(id & 255));
}
