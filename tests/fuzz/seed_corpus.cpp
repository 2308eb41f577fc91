// Writes the fuzz targets' seed corpora into a directory: for the image targets (DIR/images) a
// valid image of every type in every header format, a boot loader with its header copy, and a
// package of several images; for the text targets (DIR/texts) console answers, md5sum output,
// boot-loader settings and an env-setup file.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

int main(int argc, char** argv) {
    if (argc != 2) return fprintf(stderr, "usage: fuzz_seed_corpus DIR\n"), 2;
    std::map<std::string, std::vector<uint8_t>> seeds;
    std::vector<uint8_t>& package = seeds["package"];
    // The six types, application to diagnostics, differ in their first byte only.
    for (uint32_t type = IMAGE_APPLICATION; type <= IMAGE_DIAGNOSTICS; type += 0x01000000)
        for (int format = 1; format <= 3; format++) {
            ImageSpec plan = {.type = type, .id = 0x01020304, .format = format, .header_len = format == 3 ? 32u : 0u};
            const auto& image = seeds[image_type_name(type) + "-format" + std::to_string(format)] =
                build_image(plan, std::vector<uint8_t>(40 + format, 0x5A));
            if (format == 3 || type == IMAGE_APPLICATION) package.insert(package.end(), image.begin(), image.end());
        }
    seeds["bootloader-with-copy"] =
        build_image({.type = IMAGE_BOOTLOADER, .embed_header_copy = true}, std::vector<uint8_t>(300, 0x5A));
    for (const char* text :
         {"1\n", "2\n2\n", "q\n", " 12 and more\n", "d41d8cd98f00b204e9800998ecf8427e  /mnt/usb/a.img\n",
          "diagnostics=rescue", "shell=on gdbserver=on gdbport=2345 memchk=on", "APP_GREETING hello\nAPP_MODE fast\n"})
        seeds["../texts/" + std::to_string(std::hash<std::string>{}(text))] =
            std::vector<uint8_t>(text, text + strlen(text));
    for (const auto& [name, bytes] : seeds) {
        std::ofstream file(std::string(argv[1]) + "/images/" + name, std::ios::binary);
        if (!file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size())).flush())
            return fprintf(stderr, "fuzz_seed_corpus: cannot write %s/%s\n", argv[1], name.c_str()), 1;
    }
    return 0;
}
