// Keys for the tests, each made from a seed of one repeated byte, and files signed with them.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "bmimage/image_signer.h"
#include "keys/pem_key.h"
#include "support/bytes.h"

inline Bytes seed_of(uint8_t key) { return Bytes(ED25519_KEY_SIZE, key); }

inline Bytes public_of(const Bytes& seed) {
    Bytes public_key(ED25519_KEY_SIZE);
    public_key_of(seed.data(), public_key.data());
    return public_key;
}

// Every image of the file signed by the key.
inline Bytes signed_by(const Bytes& file, uint8_t key) {
    Bytes out;
    EXPECT_EQ(sign_package(file, seed_of(key).data(), &out), "");
    return out;
}

inline std::string public_pem(uint8_t key) {
    char text[PEM_KEY_TEXT_MAX];
    return std::string(text, encode_pem_key(public_of(seed_of(key)).data(), PEM_PUBLIC_KEY, text));
}
