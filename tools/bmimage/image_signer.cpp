// Signing the images of a package: a signature image after each image, made with Monocypher's
// Ed25519 over the image's bytes exactly as they stand.
#include "image_signer.h"

#include <sys/random.h>

#include <cstring>

#include <monocypher-ed25519.h>
#include "image/signature_image.h"

std::string signed_entries(const std::vector<uint8_t>& file, std::vector<SignedEntry>* entries) {
    entries->clear();
    PackageWalk walk = walk_buffer(file.data(), file.size());
    FoundImage image;
    for (WalkStep step; (step = walk_next(&walk, &image)) != WALK_END;) {
        std::string where = "image at offset " + std::to_string(image.position);
        if (step == WALK_MALFORMED) return where + " has lengths that cannot describe an image";
        if (walk.next > file.size()) return where + " is cut short by the end of the file";
        if (image.type == IMAGE_SIGNATURE) return "signature " + where + " follows no image";
        SignedEntry entry{uint32_t(image.position), image.type, image.layout.total_len, {}};
        entry.run = signature_run_in_buffer(file.data(), file.size(), walk.next);
        if (entry.run.malformed)
            return "image at offset " + std::to_string(entry.run.end) + " is a malformed signature";
        walk.next = entry.run.end;
        entries->push_back(entry);
    }
    return "";
}

namespace {

// The image and its run, the run rewritten with the new signature in place of the key's old one.
void append_signed(const std::vector<uint8_t>& file, const SignedEntry& entry, const ImageSignature& added,
                   std::vector<uint8_t>* out) {
    out->insert(out->end(), file.begin() + entry.offset, file.begin() + entry.offset + entry.total_len);
    uint8_t bytes[SIGNATURE_IMAGE_SIZE];
    for (int i = 0; i < entry.run.count; i++) {
        const ImageSignature& kept = entry.run.signatures[i];
        if (memcmp(kept.fingerprint, added.fingerprint, KEY_FINGERPRINT_SIZE) == 0) continue;
        encode_signature_image(kept, bytes);
        out->insert(out->end(), bytes, bytes + SIGNATURE_IMAGE_SIZE);
    }
    encode_signature_image(added, bytes);
    out->insert(out->end(), bytes, bytes + SIGNATURE_IMAGE_SIZE);
}

void append_unsigned(const std::vector<uint8_t>& file, const SignedEntry& entry, std::vector<uint8_t>* out) {
    out->insert(out->end(), file.begin() + entry.offset, file.begin() + uint32_t(entry.run.end));
}

// The bytes after the last image's run: too short to be an image.
void append_tail(const std::vector<uint8_t>& file, const std::vector<SignedEntry>& entries, std::vector<uint8_t>* out) {
    size_t end = entries.empty() ? 0 : size_t(entries.back().run.end);
    out->insert(out->end(), file.begin() + end, file.end());
}

}  // namespace

std::string sign_package(const std::vector<uint8_t>& file, const uint8_t* seed, std::vector<uint8_t>* signed_file) {
    std::vector<SignedEntry> entries;
    std::string problem = signed_entries(file, &entries);
    if (!problem.empty()) return problem;
    if (entries.empty()) return "no image to sign";
    uint8_t secret[64], public_key[ED25519_KEY_SIZE], seed_copy[ED25519_KEY_SIZE];
    memcpy(seed_copy, seed, ED25519_KEY_SIZE);
    crypto_ed25519_key_pair(secret, public_key, seed_copy);  // wipes seed_copy
    signed_file->clear();
    for (const SignedEntry& entry : entries) {
        ImageSignature added;
        key_fingerprint(public_key, added.fingerprint);
        crypto_ed25519_sign(added.signature, secret, file.data() + entry.offset, entry.total_len);
        append_signed(file, entry, added, signed_file);
    }
    crypto_wipe(secret, sizeof secret);
    append_tail(file, entries, signed_file);
    return "";
}

std::string attach_signature(const std::vector<uint8_t>& file, size_t index, const uint8_t* public_key,
                             const uint8_t* signature, std::vector<uint8_t>* signed_file) {
    std::vector<SignedEntry> entries;
    std::string problem = signed_entries(file, &entries);
    if (!problem.empty()) return problem;
    if (index >= entries.size()) return "the package has " + std::to_string(entries.size()) + " images to sign";
    ImageSignature added;
    key_fingerprint(public_key, added.fingerprint);
    memcpy(added.signature, signature, ED25519_SIGNATURE_SIZE);
    signed_file->clear();
    for (size_t i = 0; i < entries.size(); i++)
        if (i == index)
            append_signed(file, entries[i], added, signed_file);
        else
            append_unsigned(file, entries[i], signed_file);
    append_tail(file, entries, signed_file);
    return "";
}

bool make_key_pair(uint8_t* seed, uint8_t* public_key) {
    if (getrandom(seed, ED25519_KEY_SIZE, 0) != ssize_t(ED25519_KEY_SIZE)) return false;
    public_key_of(seed, public_key);
    return true;
}

void public_key_of(const uint8_t* seed, uint8_t* public_key) {
    uint8_t secret[64], seed_copy[ED25519_KEY_SIZE];
    memcpy(seed_copy, seed, ED25519_KEY_SIZE);
    crypto_ed25519_key_pair(secret, public_key, seed_copy);
    crypto_wipe(secret, sizeof secret);
}
