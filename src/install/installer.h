// Installation of multi-image packages into the flash partitions and the slot files.
#pragma once
#include <cstdint>

enum InstallResult {
    INSTALL_NOTHING = 0,    // a failure voided the download, or the package held nothing new
    INSTALL_DONE = 1,       // at least one image was installed
    INSTALL_BOOT_DOWNLOAD,  // the operator named no slot: the application archive is ready to start
};

InstallResult install_package(const char* path, uint8_t check_version, int slot);
