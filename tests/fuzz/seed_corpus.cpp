// Writes the fuzz target's seed corpus into a directory: a valid image of every type in every
// header format, a boot loader with its header copy, and a package of several images.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

static bool write_seed(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream file(dir + "/" + name, std::ios::binary);
    if (file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size())).flush()) return true;
    fprintf(stderr, "fuzz_seed_corpus: cannot write %s/%s\n", dir.c_str(), name.c_str());
    return false;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seed_corpus DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    bool ok = true;
    std::vector<uint8_t> package;
    // The six types, application to diagnostics, differ in their first byte only.
    for (uint32_t type = IMAGE_APPLICATION; type <= IMAGE_DIAGNOSTICS; type += 0x01000000)
        for (int format = 1; format <= 3; format++) {
            ImageSpec plan = {.type = type, .id = 0x01020304, .format = format, .header_len = format == 3 ? 32u : 0u};
            std::vector<uint8_t> image = build_image(plan, std::vector<uint8_t>(40 + format, 0x5A));
            ok &= write_seed(dir, image_type_name(type) + "-format" + std::to_string(format), image);
            if (format == 3 || type == IMAGE_APPLICATION) package.insert(package.end(), image.begin(), image.end());
        }
    ImageSpec boot = {.type = IMAGE_BOOTLOADER, .embed_header_copy = true};
    ok &= write_seed(dir, "bootloader-with-copy", build_image(boot, std::vector<uint8_t>(300, 0x5A)));
    ok &= write_seed(dir, "package", package);
    return ok ? 0 : 1;
}
