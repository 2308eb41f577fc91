// Booting an application image from a slot file or from the USB stick.
#pragma once
#include <cstdint>
#include <cstdio>

#include "common/ending.h"
#include "common/files.h"
#include "image/image_header.h"

// Set by the boot sequence for the attempt with the other slot: the last chance before rescue.
extern uint8_t fallback_attempt;

// Finds the first application or diagnostics image of the source, verifies it and writes its
// payload out as "/tmp/vemoximage.tar.gz". GO_ON when the boot sequence should try something
// else; otherwise the way the process goes on (the application start when the image is good).
Ending boot_image(BootSource source);

// Writes the payload out as the application archive, in one write, and closes the archive;
// false when it did not reach the file whole: a partial archive must never be started.
bool write_archive(FILE* archive, const uint8_t* payload, uint32_t length);

// Reads the image found in the input whole and checks its CRC; on success *image holds it (the
// caller frees it). The claimed length is checked against what the file holds before any memory
// is taken for it.
bool read_verified_image(FILE* input, const FoundImage& found, uint8_t** image);
