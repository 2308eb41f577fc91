// Signing and checking the images of a package on the host, with the product's own signature
// format and check.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "keys/signature_check.h"

// One image of a package that is not a signature, with the signature run that follows it.
struct SignedEntry {
    uint32_t offset;
    uint32_t type;  // magic with bit 31 cleared
    uint32_t total_len;
    SignatureRun run;
};

// The images of a whole, well-formed package; "" or why it cannot be signed or checked
// (cut short, malformed lengths, a signature image with no image before it). Bytes after the
// last image too short to be one (XMODEM padding) are left as they are.
std::string signed_entries(const std::vector<uint8_t>& file, std::vector<SignedEntry>* entries);

// The package with every image signed by the key made from seed: a signature of the same key is
// replaced, the others are kept in their order, and the new one comes last.
std::string sign_package(const std::vector<uint8_t>& file, const uint8_t* seed, std::vector<uint8_t>* signed_file);
// The package with a signature made elsewhere added after image `index` (of the images that are
// not signatures), with the same replacement rule.
std::string attach_signature(const std::vector<uint8_t>& file, size_t index, const uint8_t* public_key,
                             const uint8_t* signature, std::vector<uint8_t>* signed_file);

// A new key pair from the system's random source: the 32-byte seed and the public key.
bool make_key_pair(uint8_t* seed, uint8_t* public_key);
// The public key of a seed.
void public_key_of(const uint8_t* seed, uint8_t* public_key);
