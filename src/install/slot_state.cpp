// A slot file's image checked as the boot would check it, in chunks: its claimed length is never
// taken as memory at once.
#include "install/slot_state.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "common/files.h"

namespace {

constexpr uint32_t CHUNK_SIZE = 0x10000;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

bool image_verifies(FILE* file, const FoundImage& image) {
    const ImageLayout& layout = image.layout;
    struct stat status;
    uint64_t end = image.position + layout.header_len + uint64_t(layout.payload_len);
    if (!image_layout_sane(layout) || fstat(fileno(file), &status) != 0 || uint64_t(status.st_size) < end) return false;
    if (fseeko(file, off_t(image.position + 4), SEEK_SET) != 0) return false;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[CHUNK_SIZE]);
    uint32_t crc = 0xFFFFFFFF;
    for (uint64_t left = layout.total_len - 4; left > 0;) {
        size_t want = size_t(std::min<uint64_t>(left, CHUNK_SIZE));
        if (fread(chunk.get(), 1, want, file) != want) return false;
        crc = crc32_update(chunk.get(), uint32_t(want), crc);
        left -= want;
    }
    return crc == read_be32(image.header);
}

}  // namespace

SlotState read_slot_state(int slot) {
    SlotState state = {};
    const char* path = slot_image_path(slot);
    std::unique_ptr<FILE, FileCloser> file(path ? fopen(path, "rb") : nullptr);
    if (!file) return state;
    state.present = true;
    state.found = find_image_header(file.get(), &state.image);
    state.crc_ok = state.found && image_verifies(file.get(), state.image);
    return state;
}
