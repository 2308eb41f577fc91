// placeholder until the image format code lands
#include "image/image_header.h"
uint32_t read_be32(const uint8_t* b) { return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]; }
uint16_t read_be16(const uint8_t* b) { return uint16_t(b[0] << 8 | b[1]); }
void write_be32(uint8_t* b, uint32_t v) { b[0] = uint8_t(v >> 24); b[1] = uint8_t(v >> 16); b[2] = uint8_t(v >> 8); b[3] = uint8_t(v); }
ImageHeader decode_image_header(const uint8_t* b) { return {read_be32(b), read_be32(b + 4), read_be32(b + 8), read_be32(b + 12)}; }
uint32_t crc32_update(const uint8_t*, uint32_t, uint32_t start) { return start; }
bool image_crc_bad(const uint8_t*, uint32_t, uint32_t) { return true; }
ImageLayout parse_image_header(const HeaderProbe&) { return {}; }
bool image_layout_sane(const ImageLayout&) { return false; }
bool find_image_header(FILE*, uint32_t*, HeaderFormat*, uint32_t*, uint32_t*, uint8_t*) { return false; }
bool read_installed_header(uint32_t, uint8_t*, int) { return false; }
bool same_version(const uint8_t*, int) { return false; }
void format_version(uint32_t, char* out) { out[0] = 0; }
