// Signatures checked with Monocypher's Ed25519 (RFC 8032, SHA-512), over the signed image's
// bytes exactly as they stand.
#include "keys/signature_check.h"

#include <cstring>

#include <monocypher-ed25519.h>

bool add_trusted_key(KeyList* list, const uint8_t* public_key) {
    if (list->count == MAX_TRUSTED_KEYS) return false;
    TrustedKey& key = list->keys[list->count++];
    memcpy(key.key, public_key, ED25519_KEY_SIZE);
    key_fingerprint(key.key, key.fingerprint);
    return true;
}

const TrustedKey* find_trusted_key(const KeyList& list, const uint8_t* fingerprint) {
    for (int i = 0; i < list.count; i++)
        if (memcmp(list.keys[i].fingerprint, fingerprint, KEY_FINGERPRINT_SIZE) == 0) return &list.keys[i];
    return nullptr;
}

SignatureVerdict check_image_signatures(const KeyList& keys, const uint8_t* image, uint32_t length,
                                        const SignatureRun& run) {
    if (run.malformed) return SIGNATURE_MALFORMED;
    if (run.count == 0) return SIGNATURE_MISSING;
    bool verified = false;
    for (int i = 0; i < run.count; i++) {
        const ImageSignature& signature = run.signatures[i];
        const TrustedKey* key = find_trusted_key(keys, signature.fingerprint);
        if (key == nullptr) continue;
        if (crypto_ed25519_check(signature.signature, key->key, image, length) != 0) return SIGNATURE_BAD;
        verified = true;
    }
    return verified ? SIGNATURE_GOOD : SIGNATURE_UNKNOWN_KEY;
}

const char* signature_verdict_text(SignatureVerdict verdict) {
    switch (verdict) {
        case SIGNATURE_GOOD: return "good signature";
        case SIGNATURE_MISSING: return "no signature";
        case SIGNATURE_UNKNOWN_KEY: return "unknown key";
        case SIGNATURE_BAD: return "bad signature";
        case SIGNATURE_MALFORMED: return "malformed signature";
    }
    return "malformed signature";
}
