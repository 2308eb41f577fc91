// Booting an application image from a slot file or from the USB stick: find the image, verify
// it whole, write its payload out as the application tarball, note the source in the EEPROM and
// fetch the debugger when asked for. The application start itself is the boot sequence's.
#include "store/slot_boot.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "console/console_input.h"
#include "hw/eeprom.h"
#include "hw/start_count.h"
#include "keys/key_store.h"
#include "options/boot_options.h"
#include "store/rejected.h"
#include "store/rescue_image.h"

uint8_t fallback_attempt = 0;

namespace {

// The input image file and the application tarball of one attempt; leaving scope closes them.
struct BootFiles {
    FILE* input = nullptr;
    FILE* output = nullptr;
    ~BootFiles() {
        if (input) fclose(input);
        if (output) fclose(output);
    }
};

// Opens the slot file asked for or, when it is missing, the other slot's file, which then
// becomes the source. nullptr when neither opens.
FILE* open_slot_image(BootSource* source) {
    if (FILE* file = fopen(slot_image_path(*source), "rb")) return file;
    BootSource other = other_slot(*source);
    fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", *source, other);
    *source = other;
    if (FILE* file = fopen(slot_image_path(other), "rb")) return file;
    fprintf(stderr, "Failed to open Application image %d.\n", other);
    return nullptr;
}

// Opens the stick's image. An image seen for the first time goes into the rejected list before
// it is verified; one already there is loaded only when the operator says so.
FILE* open_usb_image() {
    FILE* file = fopen("/mnt/usb/NXR4417_OS.img", "rb");
    if (!file) {
        fputs("Failed to open application image from USB.\n", stderr);
        return nullptr;
    }
    if (!is_rejected("/mnt/usb/NXR4417_OS.img")) {
        reject_image("/mnt/usb/NXR4417_OS.img");
        return file;
    }
    if (!ask_yes_no("USB image is in rejected list.\nWould you still like to load it? ")) {
        fclose(file);
        return nullptr;
    }
    puts("Continuing to load USB image...");
    return file;
}

// Bytes from the stream's position to the end of its file; 0 when the size cannot be learnt.
uint64_t bytes_remaining(FILE* stream) {
    struct stat info;
    off_t position = ftello(stream);
    if (position < 0 || fstat(fileno(stream), &info) != 0 || info.st_size < position) return 0;
    return uint64_t(info.st_size - position);
}

bool write_tarball(BootFiles& files, const uint8_t* payload, uint32_t length) {
    bool written = write_archive(files.output, payload, length);
    files.output = nullptr;
    return written;
}

// A good image: out to the tarball, the source into the EEPROM, the debugger when asked for,
// then the application start. A tarball that cannot be written whole ends the boot like one
// that cannot be created: a partial archive must not be started.
Ending hand_over(BootSource source, BootFiles& files, const FoundImage& found, uint8_t* image) {
    bool written = write_tarball(files, image + found.layout.header_len, found.layout.payload_len);
    free(image);
    if (!written) {
        fputs("Failed to write application image output file.\n", stderr);
        return END_SHELL_REBOOT;
    }
    // A slot whose image ran out of starts is booted only by the fallback: both slots are done.
    if (!count_slot_start(source, read_be32(found.header))) return END_RESCUE_SHELL_REBOOT;
    set_boot_mode(uint8_t(source));
    if (boot_options.gdb && !boot_options.gdbserver) extract_gdb(source);
    return found.type == IMAGE_DIAGNOSTICS ? END_START_DIAGNOSTICS : END_START_APPLICATION;
}

Ending crc_failed(BootSource source) {
    if (source == BOOT_USB_STICK) {
        fputs("USB image CRC failed.", stderr);
        return GO_ON;
    }
    if (fallback_attempt) {
        fputs("Both image1 and image2 failed.\n", stderr);
        return END_SHELL_REBOOT;
    }
    fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", source, other_slot(source));
    return GO_ON;
}

// With keys on the switch, an image without a good signature by one of them fails like one whose
// CRC failed, with the reason first.
bool signature_refused(BootSource source, FILE* input, const FoundImage& found, const uint8_t* image) {
    if (!signatures_required()) return false;
    SignatureRun run = read_signature_run(input, found.position + found.layout.total_len);
    SignatureVerdict verdict = check_image_signatures(switch_keys(), image, found.layout.total_len, run);
    if (verdict == SIGNATURE_GOOD) return false;
    if (source == BOOT_USB_STICK)
        fprintf(stderr, "USB image signature check failed: %s\n", signature_verdict_text(verdict));
    else
        fprintf(stderr, "Image%d signature check failed: %s\n", source, signature_verdict_text(verdict));
    return true;
}

Ending no_image_found(BootSource source, const FoundImage& found) {
    if (source == BOOT_USB_STICK) {
        fputs("Error: USB image corrupted or belongs to another switch type.\n", stderr);
        return GO_ON;
    }
    if (fallback_attempt) {
        fputs("No valid application image found. Trying rescue image\n", stderr);
        return END_RESCUE_SHELL_REBOOT;
    }
    // The copy holds the last header looked at: its magic word shows what the slot held instead.
    fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", read_be32(found.header + 8),
            unsigned(IMAGE_DIAGNOSTICS));
    fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", source, other_slot(source));
    return GO_ON;
}

}  // namespace

// The buffered tail reaches the file only at the close, where a full /tmp shows.
bool write_archive(FILE* archive, const uint8_t* payload, uint32_t length) {
    bool written = fwrite(payload, 1, length, archive) == length;
    return fclose(archive) == 0 && written;
}

// The total is taken without wrapping and is compared with what the file holds before any
// memory is claimed, so a damaged length can neither wrap to a small buffer nor ask for more
// than the file could deliver; that counts as a short read.
bool read_verified_image(FILE* input, const FoundImage& found, uint8_t** image) {
    *image = nullptr;
    uint64_t total = uint64_t(found.layout.header_len) + found.layout.payload_len;
    if (total < IMAGE_HEADER_SIZE || total > UINT32_MAX || total > bytes_remaining(input)) return false;
    auto* buffer = static_cast<uint8_t*>(malloc(size_t(total)));
    if (!buffer) {
        fprintf(stderr, "Not enough memory to load the image (%llu bytes).\n", static_cast<unsigned long long>(total));
        return false;
    }
    bool good = fread(buffer, 1, size_t(total), input) == total &&
                !image_crc_bad(buffer + 4, uint32_t(total) - 4, read_be32(found.header));
    if (!good) {
        free(buffer);
        return false;
    }
    *image = buffer;
    return true;
}

Ending boot_image(BootSource source) {
    BootFiles files;

    // open the input
    if (source == BOOT_SLOT_1 || source == BOOT_SLOT_2) {
        files.input = open_slot_image(&source);
        if (!files.input) return END_RESCUE_SHELL_REBOOT;
    } else if (source == BOOT_USB_STICK) {
        files.input = open_usb_image();
        if (!files.input) return GO_ON;
    } else {
        return GO_ON;
    }

    // create the tarball
    files.output = fopen("/tmp/vemoximage.tar.gz", "wb");
    if (!files.output) {
        fputs("Failed to open application image output file.\n", stderr);
        return END_SHELL_REBOOT;
    }

    // find, read and verify the image
    FoundImage found;
    if (!find_image_header(files.input, &found)) return no_image_found(source, found);
    uint8_t* image = nullptr;
    if (!read_verified_image(files.input, found, &image)) return crc_failed(source);
    if (signature_refused(source, files.input, found, image)) {
        free(image);
        return crc_failed(source);
    }
    return hand_over(source, files, found, image);
}
