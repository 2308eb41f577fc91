// The image format: big-endian fields, the three header formats, CRC-32, the walk through a
// package and the installed headers read back for the version comparison.
#include "image/image_header.h"

#include <array>
#include <cstring>

#include "hw/flash.h"

uint32_t read_be32(const uint8_t* b)
{
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

uint16_t read_be16(const uint8_t* b)
{
    return uint16_t(b[0] << 8 | b[1]);
}

void write_be32(uint8_t* b, uint32_t v)
{
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}

ImageHeader decode_image_header(const uint8_t* b)
{
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

static constexpr Crc32Tables make_crc32_tables()
{
    Crc32Tables tables{};
    for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t reg = byte;
        for (int bit = 0; bit < 8; bit++)
            reg = (reg & 1) ? (reg >> 1) ^ CRC32_POLYNOMIAL : reg >> 1;
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
static inline uint32_t load_le32(const uint8_t* b)
{
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// The twelve lookups of bytes 4 to 15 do not depend on the register; they are summed apart, so
// that only four lookups and a few XORs stand between one register value and the next.
static inline uint32_t crc32_fold16(uint32_t reg, const uint8_t* p)
{
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

uint32_t crc32_update(const uint8_t* data, uint32_t length, uint32_t start)
{
    uint32_t reg = start;
    for (; length >= CRC32_SLICES; length -= CRC32_SLICES, data += CRC32_SLICES)
        reg = crc32_fold16(reg, data);
    for (; length > 0; length--, data++)
        reg = (reg >> 8) ^ crc32_tables[0][(reg ^ *data) & 0xFF];
    return reg;
}

bool image_crc_bad(const uint8_t* data, uint32_t length, uint32_t stored)
{
    return crc32_update(data, length, 0xFFFFFFFFu) != stored;
}

// ---- Header formats --------------------------------------------------------------------------

ImageLayout parse_image_header(const HeaderProbe& probe)
{
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
bool image_layout_sane(const ImageLayout& layout)
{
    uint64_t total = uint64_t(layout.header_len) + layout.payload_len;
    return layout.header_len >= IMAGE_HEADER_SIZE && total <= 0xFFFFFFFFu &&
           total >= HEADER_PROBE_SIZE;
}

// ---- The walk through a package --------------------------------------------------------------

static bool bootable_type(uint32_t type)
{
    return type == IMAGE_APPLICATION || type == IMAGE_DIAGNOSTICS;
}

static bool seek_to(FILE* stream, uint32_t position)
{
    return fseeko(stream, off_t(position), SEEK_SET) == 0;
}

// Every header is checked before it is used: a malformed length would make the walk stand still,
// step backwards or wrap around to an earlier image, so it ends the search as "not found".
bool find_image_header(FILE* stream, uint32_t* type, HeaderFormat* format, uint32_t* header_len,
                       uint32_t* payload_len, uint8_t* header_copy)
{
    memset(header_copy, 0, IMAGE_HEADER_SIZE);
    uint32_t position = 0;
    HeaderProbe probe;
    while (fread(probe.bytes, HEADER_PROBE_SIZE, 1, stream) == 1) {
        memcpy(header_copy, probe.bytes, IMAGE_HEADER_SIZE);
        ImageLayout layout = parse_image_header(probe);
        if (!image_layout_sane(layout))
            return false;
        uint32_t image_type = layout.magic & IMAGE_TYPE_MASK;
        if (bootable_type(image_type)) {
            if (!seek_to(stream, position))
                return false;
            *type = image_type;
            *format = layout.format;
            *header_len = layout.header_len;
            *payload_len = layout.payload_len;
            return true;
        }
        uint32_t next = position + layout.total_len;
        if (next < position || !seek_to(stream, next))
            return false;
        position = next;
    }
    return false;
}

// ---- Installed headers -----------------------------------------------------------------------

// The slot file holds the whole image, header first.
static bool read_slot_header(int slot, uint8_t* header)
{
    char path[64];
    snprintf(path, sizeof path, "/user/images/image%d", slot);
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return false;
    size_t read = fread(header, 1, IMAGE_HEADER_SIZE, file);
    (void)read;  // a short file is still an installed slot: its missing bytes stay zero
    fclose(file);
    return true;
}

// The result of the flash read is not consulted: an unreadable partition reads as zeros.
static bool read_flash_header(int fd, uint32_t offset, uint8_t* header)
{
    flash_read(header, fd, offset, IMAGE_HEADER_SIZE);
    return true;
}

bool read_installed_header(uint32_t type, uint8_t* header, int slot)
{
    if (header == nullptr)
        return false;
    memset(header, 0, IMAGE_HEADER_SIZE);
    switch (type) {
    case IMAGE_APPLICATION:
        return read_slot_header(slot, header);
    case IMAGE_BOOTLOADER:
        return read_flash_header(flash_partitions.uboot, BOOTLOADER_HEADER_OFFSET, header);
    case IMAGE_KERNEL:
        return read_flash_header(flash_partitions.kernel, 0, header);
    case IMAGE_ROOTFS:
        return read_flash_header(flash_partitions.rfs, 0, header);
    case IMAGE_DEVICETREE:
        return read_flash_header(flash_partitions.devicetree, 0, header);
    case IMAGE_DIAGNOSTICS:
        return read_flash_header(flash_partitions.rescue, 0, header);
    default:
        printf("Unknown image type 0x%x \n", type);
        return false;
    }
}

bool same_version(const uint8_t* new_header, int slot)
{
    uint32_t type = read_be32(new_header + 8) & IMAGE_TYPE_MASK;
    uint8_t installed[IMAGE_HEADER_SIZE];
    if (!read_installed_header(type, installed, slot))
        return false;
    // The boot loader's copy of its header sits inside the payload that its crc covers, so it
    // can never hold the crc; it is left out of the comparison.
    size_t from = type == IMAGE_BOOTLOADER ? 4 : 0;
    return memcmp(new_header + from, installed + from, IMAGE_HEADER_SIZE - from) == 0;
}

void format_version(uint32_t id, char* out)
{
    snprintf(out, 16, "%d.%d.%d.%d", int(id >> 24), int((id >> 16) & 255), int((id >> 8) & 255),
             int(id & 255));
}
