// Arbitrary bytes as an image file: the header parser, the walk of the boot path (over a memory
// stream) and the package listing of bmimage. Any crash, hang or read outside the input is a
// finding; so is a result that breaks what the callers rely on.
// Fault tried (src/image/image_header.cpp): the walk stepping one byte past a boot loader image
// -> a finding from the seed corpus within seconds (the listed images no longer tile the file).
#include <cstdio>
#include <cstring>
#include <vector>

#include "bmimage/image_builder.h"
#include "image/image_header.h"

static void require(bool condition) {
    if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The header parser, on any probe.
    if (size >= HEADER_PROBE_SIZE) {
        HeaderProbe probe;
        memcpy(probe.bytes, data, HEADER_PROBE_SIZE);
        ImageLayout layout = parse_image_header(probe);
        require(layout.format >= 1 && layout.format <= 3 && layout.total_len == layout.header_len + layout.payload_len);
        if (image_layout_sane(layout)) require(layout.header_len >= 16 && layout.total_len >= layout.header_len);
    }
    // The walk, over a stream opened for reading only: on success the stream stands at the found
    // image, a whole probe of it lies inside the file and the copy is its first 16 bytes.
    std::vector<uint8_t> file(data, data + size);
    FILE* stream = size == 0 ? nullptr : fmemopen(file.data(), size, "rb");
    FoundImage found;
    if (stream != nullptr && find_image_header(stream, &found)) {
        long position = ftell(stream);
        require(position >= 0 && uint64_t(position) == found.position && size_t(position) + HEADER_PROBE_SIZE <= size);
        require((found.type == IMAGE_APPLICATION || found.type == IMAGE_DIAGNOSTICS) && found.layout.header_len >= 16);
        require(memcmp(found.header, data + position, IMAGE_HEADER_SIZE) == 0);
    }
    if (stream != nullptr) fclose(stream);
    // The listed images tile the file from its start, up to where the listing stopped.
    PackageListing listing = list_package(file);
    uint64_t end = 0;
    for (const PackageEntry& entry : listing.entries) {
        require(entry.offset == end);
        end += entry.total_len;
        require(end <= size || entry.truncated);
    }
    if (listing.entries.empty() || !listing.entries.back().truncated) require(listing.end == end);
    if (!listing.malformed && !listing.foreign && (listing.entries.empty() || !listing.entries.back().truncated))
        require(end + listing.trailing_bytes + listing.padding_bytes + listing.erased_bytes == size &&
                listing.trailing_bytes < 24);
    return 0;
}
