// Signature images: an Ed25519 signature carried as an image of its own type, placed right after
// the image it signs in packages, slot files and the rescue partition. Readers that do not know
// the type step over it by its length like any other unknown image.
//
// A signature image is a format-1 image of 92 bytes:
//   bytes  0..3   CRC-32 of bytes 4..91, as for every image
//   bytes  4..7   len = 76
//   bytes  8..11  magic = IMAGE_SIGNATURE
//   bytes 12..15  id = 0
//   bytes 16..19  algorithm = 1 (Ed25519, RFC 8032)
//   bytes 20..27  fingerprint of the signing key: the first 8 bytes of SHA-512 of its 32-byte
//                 public key
//   bytes 28..91  the 64-byte Ed25519 signature of the signed image's bytes exactly as they stand
//                 in the file, from the first byte of its header to its last payload byte
// Pure format code: no device, console, process or cryptographic code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/image_header.h"

constexpr uint32_t IMAGE_SIGNATURE = 0x07504754;
constexpr uint32_t SIGNATURE_ALGORITHM_ED25519 = 1;
constexpr uint32_t SIGNATURE_PAYLOAD_SIZE = 76;
constexpr uint32_t SIGNATURE_IMAGE_SIZE = IMAGE_HEADER_SIZE + SIGNATURE_PAYLOAD_SIZE;
constexpr size_t KEY_FINGERPRINT_SIZE = 8;
constexpr size_t ED25519_SIGNATURE_SIZE = 64;
// The signatures an image may carry; a longer run is refused as malformed.
constexpr int MAX_IMAGE_SIGNATURES = 8;

struct ImageSignature {
    uint8_t fingerprint[KEY_FINGERPRINT_SIZE];
    uint8_t signature[ED25519_SIGNATURE_SIZE];
};

// The signature images right after one image, in their order.
struct SignatureRun {
    ImageSignature signatures[MAX_IMAGE_SIGNATURES];
    int count;
    bool malformed;  // a signature image that cannot be read: wrong length, CRC or algorithm,
                     // cut short, or one too many
    uint64_t end;    // the first byte after the run
};

// The 92 bytes of a signature image.
void encode_signature_image(const ImageSignature& signature, uint8_t* out);
// False unless bytes hold exactly one well-formed signature image.
bool decode_signature_image(const uint8_t* bytes, uint64_t size, ImageSignature* signature);

// The run of signature images that starts at position (the end of the signed image) in a stream
// or a buffer. Positions past the end give an empty run.
SignatureRun read_signature_run(FILE* stream, uint64_t position);
SignatureRun signature_run_in_buffer(const uint8_t* bytes, uint64_t size, uint64_t position);
