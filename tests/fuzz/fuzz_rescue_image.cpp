// The rescue partition's image as the rescue boot reads it: the input at the start of a 64 KiB
// partition of erased flash. Only an intact image comes back, whole inside the partition.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "fuzz_board.h"
#include "store/rescue_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t PARTITION_SIZE = 65536;
    static const std::string partition = fuzz_board() + "/mtd/rescue.bin";
    std::vector<uint8_t> flash(PARTITION_SIZE, 0xFF);
    memcpy(flash.data(), data, size < PARTITION_SIZE ? size : PARTITION_SIZE);
    FILE* file = fopen(partition.c_str(), "wb");
    if (!file || fwrite(flash.data(), 1, flash.size(), file) != flash.size() || fclose(file) != 0) abort();

    uint32_t type = 0;
    ImageLayout layout{};
    uint8_t* image = nullptr;
    RescueRead read = read_rescue_image(&type, &layout, &image);
    if ((read == RESCUE_INTACT) != (image != nullptr)) __builtin_trap();
    if (image != nullptr && (layout.total_len > PARTITION_SIZE || memcmp(image, flash.data(), layout.total_len) != 0))
        __builtin_trap();
    free(image);
    return 0;
}
