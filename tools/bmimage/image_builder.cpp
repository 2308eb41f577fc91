// Building and inspecting images and packages on the host, with the product's own format code.
#include "image_builder.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "image/image_header.h"
#include "image/signature_image.h"

// The boot loader carries a copy of its header at payload byte 240; the copy's crc (bytes 240 to
// 243) cannot be known, because the image crc covers the copy itself.
constexpr size_t HEADER_COPY_END = BOOTLOADER_HEADER_OFFSET + IMAGE_HEADER_SIZE;

// The header length of the image; 0 when the ImageSpec asks for an impossible header. Formats 2
// and 3 need room for their own header_len field (bytes 18-19 and 22-23), which has 16 bits.
static uint32_t image_header_len(const ImageSpec& plan) {
    if (plan.format == 1) return plan.header_len == 0 || plan.header_len == IMAGE_HEADER_SIZE ? IMAGE_HEADER_SIZE : 0;
    if (plan.format != 2 && plan.format != 3) return 0;
    uint32_t minimum = plan.format == 2 ? 20 : 24;
    if (plan.header_len == 0) return minimum;
    return plan.header_len >= minimum && plan.header_len <= 0xFFFF ? plan.header_len : 0;
}

static uint32_t image_magic(const ImageSpec& plan) {
    bool bit31 = plan.format == 2 || (plan.format == 3 && plan.set_bit31);
    return plan.type | (bit31 ? MAGIC_FORMAT2_BIT : 0);
}

static void write_be16(uint8_t* bytes, uint32_t value) {
    bytes[0] = uint8_t(value >> 8);
    bytes[1] = uint8_t(value);
}

// Header bytes 0 to header_len - 1, crc still zero; unused bytes are zero.
static std::vector<uint8_t> image_header_bytes(const ImageSpec& plan, uint32_t header_len, uint32_t payload_len) {
    std::vector<uint8_t> header(header_len, 0);
    uint32_t len = plan.format == 3 ? header_len - IMAGE_HEADER_SIZE + payload_len : payload_len;
    write_be32(&header[4], len);
    write_be32(&header[8], image_magic(plan));
    write_be32(&header[12], plan.id);
    if (plan.format == 2) write_be16(&header[18], header_len);
    if (plan.format == 3) {
        write_be32(&header[16], FORMAT3_MARKER);
        write_be16(&header[22], header_len);
    }
    return header;
}

std::vector<uint8_t> build_image(const ImageSpec& plan, const std::vector<uint8_t>& payload) {
    uint32_t header_len = image_header_len(plan);
    std::vector<uint8_t> body = payload;
    if (plan.embed_header_copy && body.size() < HEADER_COPY_END) body.resize(HEADER_COPY_END, 0);
    if (header_len == 0 || body.size() > 0xFFFFFFFFu - header_len) return {};

    std::vector<uint8_t> image = image_header_bytes(plan, header_len, uint32_t(body.size()));
    if (plan.embed_header_copy) {
        memset(&body[BOOTLOADER_HEADER_OFFSET], 0, 4);
        memcpy(&body[BOOTLOADER_HEADER_OFFSET + 4], &image[4], IMAGE_HEADER_SIZE - 4);
    }
    image.insert(image.end(), body.begin(), body.end());
    write_be32(&image[0], crc32_update(&image[4], uint32_t(image.size() - 4), 0xFFFFFFFFu));
    return image;
}

// ---- Names and versions ----------------------------------------------------------------------

struct TypeName {
    uint32_t type;
    const char* name;
};

static const TypeName type_names[] = {
    {IMAGE_APPLICATION, "application"}, {IMAGE_BOOTLOADER, "bootloader"}, {IMAGE_KERNEL, "kernel"},
    {IMAGE_ROOTFS, "rootfs"},           {IMAGE_DEVICETREE, "devicetree"}, {IMAGE_DIAGNOSTICS, "diagnostics"},
    {IMAGE_SIGNATURE, "signature"},
};

bool parse_image_type(const std::string& name, uint32_t* type) {
    for (const TypeName& entry : type_names)
        if (name == entry.name) {
            *type = entry.type;
            return true;
        }
    return false;
}

std::string image_type_name(uint32_t type) {
    for (const TypeName& entry : type_names)
        if (type == entry.type) return entry.name;
    return "";
}

// One part of a version: one to three decimal digits, 0 to 255.
static bool parse_version_part(const std::string& text, size_t* at, uint32_t* part) {
    size_t start = *at;
    uint32_t value = 0;
    while (*at < text.size() && *at - start < 3 && text[*at] >= '0' && text[*at] <= '9')
        value = value * 10 + uint32_t(text[(*at)++] - '0');
    *part = value;
    return *at > start && value <= 255;
}

bool parse_version(const std::string& text, uint32_t* id) {
    uint32_t value = 0;
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        uint32_t part;
        if (i > 0 && (at >= text.size() || text[at++] != '.')) return false;
        if (!parse_version_part(text, &at, &part)) return false;
        value = value << 8 | part;
    }
    if (at != text.size()) return false;
    *id = value;
    return true;
}

// ---- Listing a package -----------------------------------------------------------------------

static PackageEntry package_entry(const std::vector<uint8_t>& file, const FoundImage& image) {
    const ImageLayout& layout = image.layout;
    PackageEntry entry{};
    entry.offset = uint32_t(image.position);
    entry.type = image.type;
    entry.format = layout.format;
    entry.header_len = layout.header_len;
    entry.payload_len = layout.payload_len;
    entry.total_len = layout.total_len;
    entry.id = read_be32(image.header + 12);
    entry.stored_crc = read_be32(image.header);
    entry.truncated = file.size() - image.position < layout.total_len;
    if (!entry.truncated)
        entry.computed_crc = crc32_update(&file[image.position + 4], layout.total_len - 4, 0xFFFFFFFFu);
    entry.crc_good = !entry.truncated && entry.computed_crc == entry.stored_crc;
    return entry;
}

// Only this filler byte from here to the end of the file (and at least one byte of it).
static bool filled_from(const std::vector<uint8_t>& file, uint64_t at, uint8_t filler) {
    return at < file.size() &&
           std::all_of(file.begin() + std::ptrdiff_t(at), file.end(), [filler](uint8_t b) { return b == filler; });
}

// The walk of the boot path and the installer, over every image: a malformed header ends it,
// and so does an image that the file does not hold whole. Padding after an image is stepped
// over, as the installer steps over it, and so is the erased rest of a flash partition's dump (an unknown type whose
// length runs past the end). A header of an unknown type whose CRC fails is taken for something other than an image.
PackageListing list_package(const std::vector<uint8_t>& file) {
    PackageListing listing;
    PackageWalk walk = walk_buffer(file.data(), file.size());
    FoundImage image;
    for (;;) {
        listing.end = uint32_t(walk.next);
        if (!listing.entries.empty() && filled_from(file, walk.next, XMODEM_PAD_BYTE)) {
            listing.padding_bytes = uint32_t(file.size() - walk.next);
            return listing;
        }
        if (!listing.entries.empty() && filled_from(file, walk.next, ERASED_BYTE)) {
            listing.erased_bytes = uint32_t(file.size() - walk.next);
            return listing;
        }
        switch (walk_next(&walk, &image)) {
            case WALK_MALFORMED: listing.malformed = true; return listing;
            case WALK_END: listing.trailing_bytes = uint32_t(file.size() - walk.next); return listing;
            case WALK_IMAGE: break;
        }
        PackageEntry entry = package_entry(file, image);
        if (image_type_name(entry.type).empty() && !entry.crc_good) {
            listing.foreign = true;
            return listing;
        }
        listing.entries.push_back(entry);
        if (entry.truncated) return listing;
    }
}
