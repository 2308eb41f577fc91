// Signature images: their encoding, and the run of them that follows a signed image.
#include "image/signature_image.h"

#include <cstring>

void encode_signature_image(const ImageSignature& signature, uint8_t* out) {
    memset(out, 0, SIGNATURE_IMAGE_SIZE);
    write_be32(out + 4, SIGNATURE_PAYLOAD_SIZE);
    write_be32(out + 8, IMAGE_SIGNATURE);
    write_be32(out + 16, SIGNATURE_ALGORITHM_ED25519);
    memcpy(out + 20, signature.fingerprint, KEY_FINGERPRINT_SIZE);
    memcpy(out + 28, signature.signature, ED25519_SIGNATURE_SIZE);
    write_be32(out, crc32_update(out + 4, SIGNATURE_IMAGE_SIZE - 4, 0xFFFFFFFFu));
}

bool decode_signature_image(const uint8_t* bytes, uint64_t size, ImageSignature* signature) {
    if (size != SIGNATURE_IMAGE_SIZE) return false;
    ImageHeader header = decode_image_header(bytes);
    if (header.len != SIGNATURE_PAYLOAD_SIZE || header.magic != IMAGE_SIGNATURE ||
        read_be32(bytes + 16) != SIGNATURE_ALGORITHM_ED25519 ||
        image_crc_bad(bytes + 4, SIGNATURE_IMAGE_SIZE - 4, header.crc))
        return false;
    memcpy(signature->fingerprint, bytes + 20, KEY_FINGERPRINT_SIZE);
    memcpy(signature->signature, bytes + 28, ED25519_SIGNATURE_SIZE);
    return true;
}

namespace {

// The bytes of one signature image found by the walk: only the 92 that a well-formed one holds
// are ever read, whatever length its header claims.
bool read_signature_bytes(const PackageWalk& walk, const FoundImage& image, uint8_t* out) {
    if (image.layout.total_len != SIGNATURE_IMAGE_SIZE) return false;
    if (walk.stream == nullptr) {
        if (image.position + SIGNATURE_IMAGE_SIZE > walk.size) return false;
        memcpy(out, walk.bytes + image.position, SIGNATURE_IMAGE_SIZE);
        return true;
    }
    return fseeko(walk.stream, off_t(image.position), SEEK_SET) == 0 &&
           fread(out, SIGNATURE_IMAGE_SIZE, 1, walk.stream) == 1;
}

SignatureRun collect_run(PackageWalk walk) {
    SignatureRun run{};
    run.end = walk.next;
    FoundImage image;
    for (WalkStep step; (step = walk_next(&walk, &image)) != WALK_END;) {
        if (image.type != IMAGE_SIGNATURE) break;
        uint8_t bytes[SIGNATURE_IMAGE_SIZE];
        if (step == WALK_MALFORMED || run.count == MAX_IMAGE_SIGNATURES || !read_signature_bytes(walk, image, bytes) ||
            !decode_signature_image(bytes, SIGNATURE_IMAGE_SIZE, &run.signatures[run.count])) {
            run.malformed = true;
            break;
        }
        run.count++;
        run.end = walk.next;
    }
    return run;
}

}  // namespace

SignatureRun read_signature_run(FILE* stream, uint64_t position) {
    PackageWalk walk = walk_stream(stream);
    walk.next = position;
    return collect_run(walk);
}

SignatureRun signature_run_in_buffer(const uint8_t* bytes, uint64_t size, uint64_t position) {
    PackageWalk walk = walk_buffer(bytes, size);
    walk.next = position;
    return collect_run(walk);
}
