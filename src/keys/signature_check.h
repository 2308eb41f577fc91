// The check of an image's signatures against a list of trusted Ed25519 public keys.
#pragma once
#include <cstdint>

#include "image/signature_image.h"
#include "keys/pem_key.h"

constexpr int MAX_TRUSTED_KEYS = 16;

struct TrustedKey {
    uint8_t key[ED25519_KEY_SIZE];
    uint8_t fingerprint[KEY_FINGERPRINT_SIZE];
};

struct KeyList {
    int files;  // key files found, good or bad: a list with files but no key trusts nothing
    int count;
    TrustedKey keys[MAX_TRUSTED_KEYS];
};

enum SignatureVerdict {
    SIGNATURE_GOOD,
    SIGNATURE_MISSING,      // no signature image follows the image
    SIGNATURE_UNKNOWN_KEY,  // none of its signatures is by a trusted key
    SIGNATURE_BAD,          // a signature by a trusted key that does not verify
    SIGNATURE_MALFORMED,    // a signature image that cannot be read
};

// Adds a public key; false when the list is full.
bool add_trusted_key(KeyList* list, const uint8_t* public_key);
const TrustedKey* find_trusted_key(const KeyList& list, const uint8_t* fingerprint);

// An image is good when at least one of its signatures is by a trusted key and every signature
// by a trusted key verifies. Signatures by other keys are stepped over (a package signed with an
// old and a new key during a rotation), but a bad one by a trusted key refuses the image even
// when another verifies, and so does a malformed signature image anywhere in the run.
SignatureVerdict check_image_signatures(const KeyList& keys, const uint8_t* image, uint32_t length,
                                        const SignatureRun& run);
// "no signature", "unknown key", "bad signature", "malformed signature", "good signature".
const char* signature_verdict_text(SignatureVerdict verdict);
