// Building and inspecting images and packages on the host.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ImageSpec {
    uint32_t type = 0x01504754;      // an ImageType, or any raw value
    uint32_t id = 0;                 // version a.b.c.d packed as bytes a, b, c, d
    int format = 1;                  // 1, 2 or 3
    uint32_t header_len = 0;         // formats 2 and 3; 0 takes the default (20 or 24)
    bool set_bit31 = false;          // format 3 only: also set bit 31 of magic (format 2 always has it)
    bool embed_header_copy = false;  // boot loader: write len, magic, id into payload bytes 244..255
};

// The whole image: header, payload, CRC over everything after the crc field.
std::vector<uint8_t> build_image(const ImageSpec& plan, const std::vector<uint8_t>& payload);

// Parses "a.b.c.d" with parts 0..255; false when the text is not of that form.
bool parse_version(const std::string& text, uint32_t* id);
// Type by name ("application", "bootloader", "kernel", "rootfs", "devicetree", "diagnostics").
bool parse_image_type(const std::string& name, uint32_t* type);
// Name of a known type, or "" for an unknown one.
std::string image_type_name(uint32_t type);

struct PackageEntry {
    uint32_t offset;
    uint32_t type;  // magic with bit 31 cleared
    int format;
    uint32_t header_len;
    uint32_t payload_len;
    uint32_t total_len;
    uint32_t id;
    uint32_t stored_crc;
    uint32_t computed_crc;  // 0 when the image is cut short
    bool crc_good;
    bool truncated;  // the file ends inside this image
};

// XMODEM senders fill the last block of a transfer with this byte.
constexpr uint8_t XMODEM_PAD_BYTE = 0x1A;
// Erased flash reads as this byte.
constexpr uint8_t ERASED_BYTE = 0xFF;

struct PackageListing {
    std::vector<PackageEntry> entries;
    uint32_t end = 0;             // where the listing stopped: after the last whole image
    uint32_t trailing_bytes = 0;  // a last piece too short to hold a header probe
    uint32_t padding_bytes = 0;   // XMODEM padding after the last image, stepped over
    uint32_t erased_bytes = 0;    // erased flash (0xFF) after the last image of a partition's dump
    bool malformed = false;       // lengths that cannot describe an image; the walk stopped there
    bool foreign = false;         // bytes at `end` that are no image: an unknown type and a bad CRC
};

PackageListing list_package(const std::vector<uint8_t>& file);
