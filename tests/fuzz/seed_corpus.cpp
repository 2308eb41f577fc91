// Writes the fuzz target's seed corpus into a directory: a valid image of every type in every
// header format, a boot loader with its header copy, and a package of several images.
#include <cstdio>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

static bool write_seed(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = dir + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    bool written = file != nullptr && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file != nullptr && fclose(file) != 0) written = false;
    if (!written) fprintf(stderr, "fuzz_seed_corpus: cannot write %s\n", path.c_str());
    return written;
}

static std::vector<uint8_t> payload_of(size_t size) {
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; i++) payload[i] = uint8_t(i * 11 + 3);
    return payload;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seed_corpus DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    const uint32_t types[] = {IMAGE_APPLICATION, IMAGE_BOOTLOADER, IMAGE_KERNEL,
                              IMAGE_ROOTFS,      IMAGE_DEVICETREE, IMAGE_DIAGNOSTICS};
    bool ok = true;
    std::vector<uint8_t> package;
    for (uint32_t type : types)
        for (int format = 1; format <= 3; format++) {
            ImageSpec plan;
            plan.type = type;
            plan.id = 0x01020304;
            plan.format = format;
            plan.header_len = format == 3 ? 32 : 0;
            std::vector<uint8_t> image = build_image(plan, payload_of(40 + format));
            ok &= write_seed(dir, image_type_name(type) + "-format" + std::to_string(format), image);
            if (format == 3 || type == IMAGE_APPLICATION) package.insert(package.end(), image.begin(), image.end());
        }
    ImageSpec boot;
    boot.type = IMAGE_BOOTLOADER;
    boot.embed_header_copy = true;
    ok &= write_seed(dir, "bootloader-with-copy", build_image(boot, payload_of(300)));
    ok &= write_seed(dir, "package", package);
    return ok ? 0 : 1;
}
