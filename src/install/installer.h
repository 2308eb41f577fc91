// Installation of multi-image packages into the flash partitions and the slot files.
#pragma once
#include <cstdint>

int install_package(const char* path, uint8_t check_version, int slot);
