// Ed25519 keys in the PEM files that common tools write: a public key as a "PUBLIC KEY" block
// (SubjectPublicKeyInfo), a private key as a "PRIVATE KEY" block (PKCS#8 holding the 32-byte
// seed). Pure text and byte work; no file access.
#pragma once
#include <cstddef>
#include <cstdint>

#include "image/signature_image.h"

constexpr size_t ED25519_KEY_SIZE = 32;
// The longest PEM text encode_pem_key writes, its closing zero included.
constexpr size_t PEM_KEY_TEXT_MAX = 128;

enum PemKeyKind { PEM_PUBLIC_KEY, PEM_PRIVATE_KEY };

// The key of the one block of that kind in text: the public key, or the private key's seed.
// False for anything but exactly one Ed25519 key in the expected encoding.
bool decode_pem_key(const char* text, size_t length, PemKeyKind kind, uint8_t* key);
// The PEM text of a key, as the common tools write it; returns its length.
size_t encode_pem_key(const uint8_t* key, PemKeyKind kind, char* out);

// The name a signature gives its key: the first 8 bytes of SHA-512 of the public key.
void key_fingerprint(const uint8_t* public_key, uint8_t* fingerprint);
// "0123456789abcdef": out holds 17 bytes.
void format_fingerprint(const uint8_t* fingerprint, char* out);
