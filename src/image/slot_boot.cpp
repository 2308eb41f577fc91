// Booting an application image from a slot file or from the USB stick: find the image, verify
// it whole, write its payload out as the application tarball, note the source in the EEPROM and
// hand the process over.
#include "image/slot_boot.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "boot/app_start.h"
#include "console/console_input.h"
#include "console/rescue_menu.h"
#include "hw/eeprom.h"
#include "image/image_header.h"
#include "image/rejected.h"
#include "image/rescue_image.h"
#include "records.h"

namespace {

constexpr BootSource USB_SOURCE = 3;

// The input image file and the application tarball of one attempt. Every way out of
// boot_image closes them, and so does leaving scope.
struct BootFiles {
    FILE* input = nullptr;
    FILE* output = nullptr;
    ~BootFiles();
};

void close_boot_files(BootFiles& files) {
    if (files.input) std::fclose(files.input);
    if (files.output) std::fclose(files.output);
    files.input = nullptr;
    files.output = nullptr;
}

BootFiles::~BootFiles() { close_boot_files(*this); }

// What find_image_header found: the image's type, lengths and its first 16 bytes.
struct FoundImage {
    uint32_t type = 0;
    HeaderFormat format = HEADER_FORMAT_1;
    uint32_t header_len = 0;
    uint32_t payload_len = 0;
    uint8_t header_copy[IMAGE_HEADER_SIZE] = {};
};

BootSlot other_slot(BootSource source) { return source == 1 ? 2 : 1; }

// The end of every boot that has nothing left to try: the optional shell, then a reboot.
[[noreturn]] void shell_then_reboot(BootFiles& files) {
    close_boot_files(files);
    if (boot_options.shell) {
        std::fflush(stdout);
        // How the shell ended does not matter: the switch reboots either way.
        [[maybe_unused]] int status = std::system("/bin/sh\n");
    }
    reboot_system();
}

[[noreturn]] void rescue_then_shell_then_reboot(BootFiles& files) {
    close_boot_files(files);
    rescue_menu();
    shell_then_reboot(files);
}

// Opens the slot file asked for or, when it is missing, the other slot's file, which then
// becomes the source. With neither there is nothing left to boot.
FILE* open_slot_image(BootSource* source, BootFiles& files) {
    if (*source == 1) {
        if (FILE* file = std::fopen("/user/images/image1", "rb")) return file;
        std::fputs("Failed to open Application image 1. Trying image 2.\n", stderr);
        *source = 2;
        if (FILE* file = std::fopen("/user/images/image2", "rb")) return file;
        std::fputs("Failed to open Application image 2.\n", stderr);
    } else {
        if (FILE* file = std::fopen("/user/images/image2", "rb")) return file;
        std::fputs("Failed to open Application image 2. Trying image 1.\n", stderr);
        *source = 1;
        if (FILE* file = std::fopen("/user/images/image1", "rb")) return file;
        std::fputs("Failed to open Application image 1.\n", stderr);
    }
    rescue_then_shell_then_reboot(files);
}

// Opens the stick's image. An image seen for the first time goes into the rejected list before
// it is verified; one already there is loaded only when the operator says so.
FILE* open_usb_image() {
    FILE* file = std::fopen("/mnt/usb/NXR4417_OS.img", "rb");
    if (!file) {
        std::fputs("Failed to open application image from USB.\n", stderr);
        return nullptr;
    }
    if (!is_rejected("/mnt/usb/NXR4417_OS.img")) {
        reject_image("/mnt/usb/NXR4417_OS.img");
        return file;
    }
    if (!ask_yes_no("USB image is in rejected list.\nWould you still like to load it? ")) {
        std::fclose(file);
        return nullptr;
    }
    std::puts("Continuing to load USB image...");
    return file;
}

// Bytes from the stream's position to the end of its file; 0 when the size cannot be learnt.
uint64_t bytes_remaining(FILE* stream) {
    struct stat info;
    off_t position = ftello(stream);
    if (position < 0 || fstat(fileno(stream), &info) != 0 || info.st_size < position) return 0;
    return uint64_t(info.st_size - position);
}

// Reads the found image whole and checks its CRC. The total is taken without wrapping and is
// compared with what the file holds before any memory is claimed, so a damaged length can
// neither wrap to a small buffer nor ask for more than the file could deliver; that counts as a
// short read. On success *image holds the image (the caller frees it).
bool read_verified_image(FILE* input, const FoundImage& found, uint8_t** image) {
    *image = nullptr;
    uint64_t total = uint64_t(found.header_len) + found.payload_len;
    if (total < IMAGE_HEADER_SIZE || total > UINT32_MAX || total > bytes_remaining(input)) return false;
    auto* buffer = static_cast<uint8_t*>(std::malloc(size_t(total)));
    if (!buffer) {
        std::fprintf(stderr, "Not enough memory to load the image (%llu bytes).\n",
                     static_cast<unsigned long long>(total));
        return false;
    }
    bool good = std::fread(buffer, 1, size_t(total), input) == total &&
                !image_crc_bad(buffer + 4, uint32_t(total) - 4, read_be32(found.header_copy));
    if (!good) {
        std::free(buffer);
        return false;
    }
    *image = buffer;
    return true;
}

// The payload becomes the application tarball, in one write.
bool write_tarball(BootFiles& files, const uint8_t* payload, uint32_t length) {
    bool written = std::fwrite(payload, 1, length, files.output) == length;
    written = std::fclose(files.output) == 0 && written;
    files.output = nullptr;
    return written;
}

// A good image: out to the tarball, the source into the EEPROM, the debugger when asked for,
// and over to the application. A tarball that cannot be written whole ends the boot like one
// that cannot be created: a partial archive must not be started.
int hand_over(BootSource source, BootFiles& files, const FoundImage& found, uint8_t* image) {
    bool written = write_tarball(files, image + found.header_len, found.payload_len);
    std::free(image);
    close_boot_files(files);
    if (!written) {
        std::fputs("Failed to write application image output file.\n", stderr);
        shell_then_reboot(files);
    }
    set_boot_mode(uint8_t(source));
    if (boot_options.gdb && !boot_options.gdbserver) extract_gdb(source);
    start_application(found.type == IMAGE_DIAGNOSTICS);
    return 1;
}

int crc_failed(BootSource source, BootFiles& files) {
    close_boot_files(files);
    if (source == USB_SOURCE) {
        std::fputs("USB image CRC failed.", stderr);
        return 0;
    }
    if (fallback_attempt) {
        std::fputs("Both image1 and image2 failed.\n", stderr);
        shell_then_reboot(files);
    }
    std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", source, other_slot(source));
    return 0;
}

int no_image_found(BootSource source, BootFiles& files, const FoundImage& found) {
    close_boot_files(files);
    if (source == USB_SOURCE) {
        std::fputs("Error: USB image corrupted or belongs to another switch type.\n", stderr);
        return 0;
    }
    if (fallback_attempt) {
        std::fputs("No valid application image found. Trying rescue image\n", stderr);
        rescue_then_shell_then_reboot(files);
    }
    // The copy holds the last header looked at: its magic word shows what the slot held instead.
    std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", read_be32(found.header_copy + 8),
                 unsigned(IMAGE_DIAGNOSTICS));
    std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", source, other_slot(source));
    return 0;
}

}  // namespace

int boot_image(BootSource source) {
    BootFiles files;

    // open the input
    if (source == 1 || source == 2) {
        files.input = open_slot_image(&source, files);
    } else if (source == USB_SOURCE) {
        files.input = open_usb_image();
        if (!files.input) return 0;
    } else {
        return 0;
    }

    // create the tarball
    files.output = std::fopen("/tmp/vemoximage.tar.gz", "wb");
    if (!files.output) {
        std::fputs("Failed to open application image output file.\n", stderr);
        shell_then_reboot(files);
    }

    // find, read and verify the image
    FoundImage found;
    if (!find_image_header(files.input, &found.type, &found.format, &found.header_len,
                           &found.payload_len, found.header_copy))
        return no_image_found(source, files, found);
    uint8_t* image = nullptr;
    if (!read_verified_image(files.input, found, &image)) return crc_failed(source, files);
    return hand_over(source, files, found, image);
}
