// A slot file as the slot boot reads it: the first bootable header found, then the whole image
// read and its CRC checked. A verified image lies wholly inside the file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "image/image_header.h"
#include "store/slot_boot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    FILE* file = fmemopen(bytes.data(), size, "rb");
    FoundImage found;
    uint8_t* image = nullptr;
    if (file && find_image_header(file, &found) && read_verified_image(file, found, &image)) {
        uint64_t total = uint64_t(found.layout.header_len) + found.layout.payload_len;
        if (found.position + total > size || memcmp(image, data + found.position, total) != 0) __builtin_trap();
        free(image);
    }
    if (file) fclose(file);
    return 0;
}
