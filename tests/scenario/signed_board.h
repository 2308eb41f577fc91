// Signed images for the scenario tests: packages signed with keys made from a fixed seed byte,
// and the board's trust in them (bmsim keys add).
#pragma once
#include "scenario_board.h"
#include "support/signing.h"

const uint8_t KEY_A = 0xA1, KEY_B = 0xB2;

// The board trusts the key from now on.
inline void trust(const std::string& board, uint8_t key) {
    std::string pem = board + ".key" + std::to_string(key) + ".pem";
    write_text(pem, public_pem(key));
    bmsim_ok({"keys", board, "add", pem});
    fs::remove(pem);
}
