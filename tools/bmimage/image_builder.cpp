// placeholder until the image tool lands
#include "image_builder.h"
std::vector<uint8_t> build_image(const ImageSpec&, const std::vector<uint8_t>& payload) { return payload; }
bool parse_version(const std::string&, uint32_t*) { return false; }
bool parse_image_type(const std::string&, uint32_t*) { return false; }
std::string image_type_name(uint32_t) { return ""; }
PackageListing list_package(const std::vector<uint8_t>&) { return {}; }
