// bmsim keys: the board's trusted public keys.
#pragma once
#include <string>
#include <vector>

// "DIR add PUB.pem", "DIR list" or "DIR clear" on a board directory; 0 when done, 1 on a failure
// and 2 for bad operands, with *problem telling why.
int run_board_keys(const std::vector<std::string>& args, std::string* problem);

inline const char* const KEYS_HELP =
    "usage: bmsim keys DIR add PUB.pem\n"
    "       bmsim keys DIR list\n"
    "       bmsim keys DIR clear\n"
    "\n"
    "The board's trusted Ed25519 public keys: the PEM files of the folder DIR/keys, which the\n"
    "switch sees as /etc/bootmanager/keys. A board with key files installs and boots only images\n"
    "signed by one of them (bmimage sign); without any it checks no signature. add copies a\n"
    "public key file in (named *.pem), list shows each file with its key's fingerprint, clear\n"
    "removes them all.\n";
