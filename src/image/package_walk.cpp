// The one walk through a package, image after image, of the boot path, the installer and bmimage.
#include "image/image_header.h"

#include <cstring>

PackageWalk walk_stream(FILE* stream) { return {stream, nullptr, 0, 0, false}; }

PackageWalk walk_buffer(const uint8_t* bytes, uint64_t size) { return {nullptr, bytes, size, 0, false}; }

namespace {

// The probe is read as one item: a piece shorter than 24 bytes is no image.
bool read_probe(const PackageWalk& walk, HeaderProbe* probe) {
    if (walk.stream == nullptr) {
        if (walk.next > walk.size || walk.size - walk.next < HEADER_PROBE_SIZE) return false;
        memcpy(probe->bytes, walk.bytes + walk.next, HEADER_PROBE_SIZE);
        return true;
    }
    return fseeko(walk.stream, off_t(walk.next), SEEK_SET) == 0 &&
           fread(probe->bytes, HEADER_PROBE_SIZE, 1, walk.stream) == 1;
}

}  // namespace

// Every header is checked before it is used: a malformed length would make the walk stand
// still, step backwards or wrap around to an earlier image.
WalkStep walk_next(PackageWalk* walk, FoundImage* image) {
    HeaderProbe probe;
    if (walk->ended || !read_probe(*walk, &probe)) {
        walk->ended = true;
        return WALK_END;
    }
    image->position = walk->next;
    image->layout = parse_image_header(probe);
    image->type = image->layout.magic & IMAGE_TYPE_MASK;
    memcpy(image->header, probe.bytes, IMAGE_HEADER_SIZE);
    if (!image_layout_sane(image->layout)) {
        walk->ended = true;
        return WALK_MALFORMED;
    }
    // An image whose end lies past 2^32 is still an image (a bootable one is found, and then
    // fails its CRC on the short read); only the step beyond it would wrap, so it is the last.
    walk->next += image->layout.total_len;
    if (walk->next > 0xFFFFFFFFu) walk->ended = true;
    return WALK_IMAGE;
}

namespace {

bool bootable_type(uint32_t type) { return type == IMAGE_APPLICATION || type == IMAGE_DIAGNOSTICS; }

}  // namespace

// Images of the other types are stepped over by their length; their CRC is not computed.
bool find_image_header(FILE* stream, FoundImage* image) {
    memset(image->header, 0, IMAGE_HEADER_SIZE);
    PackageWalk walk = walk_stream(stream);
    for (;;) {
        switch (walk_next(&walk, image)) {
            case WALK_END:
            case WALK_MALFORMED: return false;
            case WALK_IMAGE:
                if (bootable_type(image->type)) return fseeko(stream, off_t(image->position), SEEK_SET) == 0;
                break;
        }
    }
}
