// The switch's trusted keys: the Ed25519 public keys in the files "*.pem" of the folder
// "/etc/bootmanager/keys" of the root file system. A switch without key files checks no
// signature at all; one with key files installs and boots only images signed by one of them.
#pragma once
#include "keys/signature_check.h"

// Reads every "*.pem" file of the folder into the list, in name order. A file that cannot be read
// or holds no Ed25519 public key is reported on standard output and ignored; it still counts as
// a key file, so that a switch whose every key file is bad refuses everything.
void load_key_folder(const char* folder, KeyList* list);

// The switch's keys, read from "/etc/bootmanager/keys" on first use.
const KeyList& switch_keys();
// True when the switch holds key files: signatures are then checked on every install and boot.
bool signatures_required();
