// Installation of multi-image packages into the flash partitions and the slot files.
#pragma once
#include <cstdint>
#include <cstdio>

enum InstallResult {
    INSTALL_NOTHING = 0,    // a failure voided the download, or the package held nothing new
    INSTALL_DONE = 1,       // at least one image was installed
    INSTALL_BOOT_DOWNLOAD,  // the operator named no slot: the application archive is ready to start
};

// The operator's answer to the slot question, one line of the console: 1 or 2; 0 to boot the
// download (Return, other text, end of input); SLOT_ANSWER_BREAK when the interrupt key broke
// the read. The rest of an over-long line is read and dropped.
constexpr int SLOT_ANSWER_BREAK = -1;
int read_slot_answer(FILE* console);

InstallResult install_package(const char* path, uint8_t check_version, int slot);
// The same, without the console when the slot is given (1 or 2): for a program of the running
// switch. *skipped counts the images left alone as already installed (check_version), so that
// a package installed before can count as done; set only when the whole package was walked.
InstallResult install_package_counting(const char* path, uint8_t check_version, int slot, int* skipped);
