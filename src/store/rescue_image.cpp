// Images taken from outside the slot boot: the diagnostics or recovery image of the rescue
// partition, and the debugger carried by the slot that is not being booted.
#include "store/rescue_image.h"

#include <cstdio>
#include <cstdlib>

#include "common/files.h"
#include "common/shell.h"
#include "hw/eeprom.h"
#include "hw/flash.h"
#include "hw/start_count.h"
#include "image/image_header.h"
#include "image/signature_image.h"
#include "keys/key_store.h"
#include "store/slot_boot.h"

namespace {

constexpr uint8_t BOOT_MODE_RESCUE_PARTITION = 4;
constexpr size_t RECOVERY_ANSWER_SIZE = 8;  // at most 7 characters
constexpr size_t DEBUGGER_COPY_BLOCK = 4096;

// The signature images stored after the rescue partition's image, which a recovery copy takes
// along into the slot.
struct StoredSignatures {
    uint8_t bytes[MAX_IMAGE_SIGNATURES * SIGNATURE_IMAGE_SIZE];
    uint32_t length;
};

// Type (bit 31 cleared) and layout of the image at the start of the rescue partition; type 0
// when its header cannot be read.
uint32_t rescue_image_type(ImageLayout* layout) {
    HeaderProbe probe;
    if (flash_read(probe.bytes, flash_partitions.rescue, 0, HEADER_PROBE_SIZE) != 0) return 0;
    *layout = parse_image_header(probe);
    return layout->magic & IMAGE_TYPE_MASK;
}

// Lengths that cannot describe an image, or that reach past the partition, cannot belong to a
// stored image: they fail like a CRC mismatch, before any memory is taken for them.
bool rescue_layout_plausible(const ImageLayout& layout) {
    if (!image_layout_sane(layout)) return false;
    MtdGeometry geometry;
    return !mtd_get_geometry(flash_partitions.rescue, &geometry) || layout.total_len <= geometry.size;
}

// Reads the whole image into image; false when the read fails or the CRC does not match.
bool rescue_image_intact(uint8_t* image, const ImageLayout& layout) {
    if (flash_read(image, flash_partitions.rescue, 0, layout.total_len) != 0) return false;
    return !image_crc_bad(image + 4, layout.total_len - 4, read_be32(image));
}

// With keys on the switch, an image without a good signature by one of them fails like one whose
// CRC failed, with the reason first.
bool rescue_signature_refused(const uint8_t* image, const ImageLayout& layout, StoredSignatures* stored) {
    stored->length = 0;
    if (!signatures_required()) return false;
    MtdGeometry geometry;
    uint32_t room = mtd_get_geometry(flash_partitions.rescue, &geometry) ? geometry.size - layout.total_len : 0;
    uint32_t length = room < sizeof stored->bytes ? room : uint32_t(sizeof stored->bytes);
    if (length > 0 && flash_read(stored->bytes, flash_partitions.rescue, layout.total_len, length) != 0) length = 0;
    SignatureRun run = signature_run_in_buffer(stored->bytes, length, 0);
    if (!run.malformed) stored->length = uint32_t(run.end);
    SignatureVerdict verdict = check_image_signatures(switch_keys(), image, layout.total_len, run);
    if (verdict == SIGNATURE_GOOD) return false;
    fprintf(stderr, "Rescue image signature check failed: %s\n", signature_verdict_text(verdict));
    return true;
}

bool write_all(FILE* file, const uint8_t* bytes, uint32_t length) {
    return length == 0 || fwrite(bytes, length, 1, file) == 1;
}

bool write_payload(FILE* archive, const uint8_t* image, const ImageLayout& layout) {
    if (write_archive(archive, image + layout.header_len, layout.payload_len)) return true;
    fputs("Failed to write application image output file.\n", stderr);
    return false;
}

// The whole image goes to the slot through "/tmp/image"; a copy that could not be written in
// full would overwrite the slot with a broken image, so it ends like one that cannot be created:
// false, and the switch reboots.
bool copy_recovery_image(const uint8_t* image, uint32_t total_len, const StoredSignatures& signatures, char slot_char) {
    printf("\nInstalling recovery image as image%c...\n", slot_char);
    FILE* copy = fopen("/tmp/image", "wb");
    if (copy == nullptr) {
        fputs("Failed to open image file.\n", stderr);
        return false;
    }
    bool written = write_all(copy, image, total_len) && write_all(copy, signatures.bytes, signatures.length);
    if (fclose(copy) != 0 || !written) {
        fputs("Failed to write image file.\n", stderr);
        return false;
    }

    uint8_t slot = static_cast<uint8_t>(slot_char - '0');
    uint64_t copied = uint64_t(total_len) + signatures.length;
    shell_step("mkdir /user/images &> /dev/null");
    const char* path = slot_write_path(slot, copied);
    char command[sizeof("cp /tmp/image /user/images/image1.new\n")];
    snprintf(command, sizeof command, "cp /tmp/image %s\n", path);
    shell_step(command);
    // A copy that did not arrive whole leaves the slot as it was; the boot goes on as before.
    sync_file(path);
    (void)commit_slot_file(slot, path, copied);

    printf("Setting boot image to %d\n", slot);
    note_new_slot_image(slot, read_be32(image));
    set_boot_slot(slot);
    set_boot_mode(slot);
    return true;
}

// The recovery image boots now in any case; the answer only decides whether it also becomes
// the slot booted next time. The end of input counts as Return, so that the boot mode still
// records that the rescue partition was started. False when the copy failed.
bool offer_recovery_copy(const uint8_t* image, const ImageLayout& layout, const StoredSignatures& signatures) {
    printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
    fflush(stdout);
    char answer[RECOVERY_ANSWER_SIZE];
    char first = fgets(answer, sizeof answer, stdin) != nullptr ? answer[0] : '\0';
    if (first == '1' || first == '2') return copy_recovery_image(image, layout.total_len, signatures, first);
    puts("\nBooting recovery image. You will need to download and install an image before rebooting");
    set_boot_mode(BOOT_MODE_RESCUE_PARTITION);
    return true;
}

// False when the archive cannot be created or written whole.
bool rewrite_diagnostics_archive(const uint8_t* image, const ImageLayout& layout) {
    puts("Launching diagnostics image");
    FILE* archive = fopen("/tmp/vemoximage.tar.gz", "wb");
    if (archive == nullptr) {
        fputs("Failed to open diags image file.\n", stderr);
        return false;
    }
    if (!write_payload(archive, image, layout)) return false;
    set_boot_mode(BOOT_MODE_RESCUE_PARTITION);
    return true;
}

// A debugger image has a plain 16-byte header whose magic is exactly that of an application or
// diagnostics image; with bit 31 set the header is longer and the payload would start elsewhere.
bool read_debugger_header(FILE* image, uint32_t* len) {
    uint8_t bytes[IMAGE_HEADER_SIZE] = {};
    // A short file leaves zeros, which no valid magic matches.
    [[maybe_unused]] size_t got = fread(bytes, 1, sizeof bytes, image);
    ImageHeader header = decode_image_header(bytes);
    if (header.magic != IMAGE_APPLICATION && header.magic != IMAGE_DIAGNOSTICS) {
        fprintf(stderr, "Image has invalid header 0x%x\n", header.magic);
        return false;
    }
    *len = header.len;
    return true;
}

// Copies len bytes from byte 16 on, or fewer where the file ends first.
void copy_debugger(FILE* image, FILE* output, uint32_t len) {
    if (fseek(image, IMAGE_HEADER_SIZE, SEEK_SET) != 0) return;
    uint8_t block[DEBUGGER_COPY_BLOCK];
    while (len > 0) {
        size_t want = len < sizeof block ? len : sizeof block;
        size_t got = fread(block, 1, want, image);
        if (got == 0 || fwrite(block, 1, got, output) != got) return;
        len -= static_cast<uint32_t>(got);
    }
}

}  // namespace

RescueRead read_rescue_image(uint32_t* type, ImageLayout* layout, uint8_t** image) {
    *image = nullptr;
    *type = rescue_image_type(layout);
    if (*type != IMAGE_APPLICATION && *type != IMAGE_DIAGNOSTICS) return RESCUE_NOT_FOUND;
    if (!rescue_layout_plausible(*layout)) return RESCUE_DAMAGED;
    auto* buffer = static_cast<uint8_t*>(malloc(layout->total_len));
    if (buffer == nullptr) return RESCUE_NO_MEMORY;
    if (!rescue_image_intact(buffer, *layout)) {
        free(buffer);
        return RESCUE_DAMAGED;
    }
    *image = buffer;
    return RESCUE_INTACT;
}

Ending boot_rescue_partition() {
    FILE* archive = fopen("/tmp/vemoximage.tar.gz", "wb");
    if (archive == nullptr) {
        fputs("Failed to open AppOS tarfile.\n", stderr);
        return END_REBOOT;
    }

    ImageLayout layout{};
    uint32_t type = 0;
    uint8_t* image = nullptr;
    switch (read_rescue_image(&type, &layout, &image)) {
        case RESCUE_NOT_FOUND: fputs("Image not found... \n", stderr); break;
        case RESCUE_NO_MEMORY:
            fprintf(stderr, "Failed to allocate buffer for rescue image (%u bytes)\n", layout.total_len);
            break;
        case RESCUE_DAMAGED: fputs("Image CRC failed. Quitting\n", stderr); break;
        case RESCUE_INTACT: break;
    }
    StoredSignatures signatures;
    if (image != nullptr && rescue_signature_refused(image, layout, &signatures)) {
        fputs("Image CRC failed. Quitting\n", stderr);
        free(image);
        image = nullptr;
    }
    if (image == nullptr) {
        fclose(archive);
        return GO_ON;
    }

    // An archive that did not reach the file whole ends the boot as in the slot boot.
    if (!write_payload(archive, image, layout)) {
        free(image);
        return END_SHELL_REBOOT;
    }
    bool ready = type == IMAGE_APPLICATION ? offer_recovery_copy(image, layout, signatures)
                                           : rewrite_diagnostics_archive(image, layout);
    free(image);
    if (!ready) return END_REBOOT;
    return type == IMAGE_DIAGNOSTICS ? END_START_DIAGNOSTICS : END_START_APPLICATION;
}

int extract_gdb(int slot) {
    int other = other_slot(slot);
    if (other == 0) return 0;
    printf("Extracting GDB from image slot %d\n", other);

    FILE* image = fopen(slot_image_path(other), "rb");
    if (image == nullptr) {
        fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other);
        return 0;
    }
    FILE* output = fopen("/tmp/gdb.gz", "wb");
    if (output == nullptr) {
        fputs("Failed to open GDB output file.\n", stderr);
        fclose(image);
        return 0;
    }

    uint32_t len = 0;
    bool found = read_debugger_header(image, &len);
    if (found) {
        printf("Found GDB image %d of length = %u.\n", other, len);
        copy_debugger(image, output, len);
    }
    // Both files are closed on every way out, the refused header included.
    fclose(image);
    fclose(output);
    if (!found) return 0;

    puts("decompressing GDB....");
    shell_step("gunzip /tmp/gdb.gz");
    shell_step("chmod +x /tmp/gdb");
    return 1;
}
