// Signed images for the scenario tests: packages signed with keys made from a fixed seed byte,
// and the board's trust in them (bmsim keys add).
#pragma once
#include "bmimage/image_signer.h"
#include "keys/pem_key.h"
#include "scenario_board.h"

const uint8_t KEY_A = 0xA1, KEY_B = 0xB2;

// Every image of the file signed by the key.
inline Bytes signed_by(const Bytes& file, uint8_t key) {
    Bytes seed(ED25519_KEY_SIZE, key), out;
    EXPECT_EQ(sign_package(file, seed.data(), &out), "");
    return out;
}

inline std::string public_pem(uint8_t key) {
    Bytes seed(ED25519_KEY_SIZE, key), public_key(ED25519_KEY_SIZE);
    public_key_of(seed.data(), public_key.data());
    char text[PEM_KEY_TEXT_MAX];
    return std::string(text, encode_pem_key(public_key.data(), PEM_PUBLIC_KEY, text));
}

// The board trusts the key from now on.
inline void trust(const std::string& board, uint8_t key) {
    std::string pem = board + ".key" + std::to_string(key) + ".pem";
    write_text(pem, public_pem(key));
    bmsim_ok({"keys", board, "add", pem});
    fs::remove(pem);
}
