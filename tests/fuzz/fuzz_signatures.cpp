// The signatures after an image and the switch's key files, over arbitrary bytes: the run of
// signature images after the file's first image, read from a stream and from a buffer (the two
// must agree, and never read past the end), the check against a fixed trusted key, and a key
// file's text decoded as a public and as a private key (a decoded public key encodes back to a
// file that decodes to the same key).
// Fault tried: the buffer's signature image read without its bounds check -> heap-buffer-overflow
// within seconds.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "image/signature_image.h"
#include "keys/pem_key.h"
#include "keys/signature_check.h"

namespace {

void check_run(const uint8_t* data, size_t size) {
    // the signed image: the file's first image, as the installer and the slot boot find it
    std::vector<uint8_t> bytes(data, data + size);
    PackageWalk walk = walk_buffer(bytes.data(), size);
    FoundImage image;
    if (size == 0 || walk_next(&walk, &image) != WALK_IMAGE) return;
    uint64_t image_end = walk.next;
    SignatureRun in_buffer = signature_run_in_buffer(bytes.data(), size, image_end);
    FILE* file = fmemopen(bytes.data(), size, "rb");
    if (file == nullptr) return;
    SignatureRun in_stream = read_signature_run(file, image_end);
    fclose(file);
    if (in_buffer.count != in_stream.count || in_buffer.malformed != in_stream.malformed ||
        in_buffer.end != in_stream.end || (in_buffer.count > 0 && in_buffer.end > size))
        __builtin_trap();
    static const uint8_t key[ED25519_KEY_SIZE] = {0x3d, 0x40, 0x17, 0xc3, 0xe8, 0x43, 0x89, 0x5a, 0x92, 0xb7, 0x0a,
                                                  0xa7, 0x4d, 0x1b, 0x7e, 0xbc, 0x9c, 0x98, 0x2c, 0xcf, 0x2e, 0xc4,
                                                  0x96, 0x8c, 0xc0, 0xcd, 0x55, 0xf1, 0x2a, 0xf4, 0x66, 0x0c};
    KeyList keys{};
    keys.files = 1;
    add_trusted_key(&keys, key);
    if (image_end <= size) check_image_signatures(keys, bytes.data(), uint32_t(image_end), in_buffer);
}

void check_key_text(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    uint8_t key[ED25519_KEY_SIZE], again[ED25519_KEY_SIZE];
    decode_pem_key(text, size, PEM_PRIVATE_KEY, key);
    if (!decode_pem_key(text, size, PEM_PUBLIC_KEY, key)) return;
    char encoded[PEM_KEY_TEXT_MAX];
    size_t length = encode_pem_key(key, PEM_PUBLIC_KEY, encoded);
    if (!decode_pem_key(encoded, length, PEM_PUBLIC_KEY, again) || memcmp(key, again, sizeof key) != 0)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_run(data, size);
    check_key_text(data, size);
    return 0;
}
