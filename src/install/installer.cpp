// Installation of packages: each image of a file, verified by its CRC and size, written to its
// flash partition or slot file, or started at once when the operator names no slot.
#include "install/installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/files.h"
#include "common/progress.h"
#include "console/console_input.h"
#include "hw/eeprom.h"
#include "hw/flash.h"
#include "hw/start_count.h"
#include "image/image_header.h"
#include "install/installed_header.h"
#include "keys/key_store.h"

namespace {

// What the installer knows of an image type that lives in a flash partition.
struct FlashTarget {
    uint32_t type;
    const char* start_message;
    const char* crc_message;
    const char* too_big_message;
    const char* failure_message;
    uint32_t limit;
};

const FlashTarget flash_targets[] = {
    {IMAGE_BOOTLOADER, "Installing Boot Loader: ", "Bad crc for UBOOT: 0x%08x, voiding download\n",
     "UBOOT image is too big for flash (%d > %d)\n", "Uboot image update failed", 0x80000},
    {IMAGE_KERNEL, "Installing Kernel: ", "Bad crc for KERNEL: 0x%08x, voiding download\n",
     "KERNEL image is too big for flash (%d > %d)\n", "kernel image update failed", 0x300000},
    {IMAGE_ROOTFS, "Installing Root Filesystem: ", "Bad crc for RFS: 0x%08x, voiding download\n",
     "RFS image is too big for flash (%d > %d)\n", "RFS image update failed", 0xF00000},
    {IMAGE_DEVICETREE, "Installing Device Tree: ", "Bad crc for DFT: 0x%08x, voiding download\n",
     "DFT image is too big for flash (%d > %d)\n", "DFT image update failed", 0x40000},
    {IMAGE_DIAGNOSTICS, "Installing Diagnostics: ", "Bad crc for DIAGNOSTICS IMAGE: 0x%08x, voiding download\n",
     "DIAGS image is too big for flash (%d > %d)\n", "DIAGS image update failed", 0xA00000},
};

const char* const application_start_message = "Installing Application: ";
const char* const application_crc_message = "Bad crc for APPLICATION: 0x%08x, voiding download\n";

constexpr uint32_t SLOT_PIECE_SIZE = 0x10000;
constexpr uint32_t CRC_CHUNK_SIZE = 0x10000;

// The state of one installation of a package file.
struct Installation {
    FILE* file;
    uint64_t file_size;
    uint8_t check_version;
    int slot;
    uint8_t installed;
    int skipped;  // images left alone as already installed
    // With keys on the switch: the signatures after the image being installed, read into its
    // buffer right after it, so that they go with it into its slot file or partition.
    SignatureRun signatures;
    uint32_t signature_bytes;
};

// After an image: go on with the next one, void the rest of the download, or boot the image.
enum class Outcome { NEXT, VOID, BOOT };

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};
using ImageBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

const FlashTarget* flash_target_of(uint32_t type) {
    for (const FlashTarget& target : flash_targets)
        if (target.type == type) return &target;
    return nullptr;
}

void print_flushed(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

// The CRC of an image that cannot be held whole (truncated or malformed), computed over the
// bytes the file holds for it, read in chunks so that its claimed length is never allocated.
uint32_t crc_of_file_bytes(FILE* file, uint64_t start, uint64_t count) {
    uint32_t crc = 0xFFFFFFFF;
    if (count <= 4) return crc;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[CRC_CHUNK_SIZE]);
    fseeko(file, off_t(start + 4), SEEK_SET);
    for (uint64_t left = count - 4; left > 0;) {
        size_t want = size_t(std::min<uint64_t>(left, CRC_CHUNK_SIZE));
        size_t got = fread(chunk.get(), 1, want, file);
        crc = crc32_update(chunk.get(), uint32_t(got), crc);
        if (got < want) break;
        left -= got;
    }
    return crc;
}

// An image of a known type whose bytes cannot all be had: it fails as a CRC mismatch.
Outcome refuse_unreadable_image(Installation& job, const FoundImage& image, const char* start_message,
                                const char* crc_message) {
    uint64_t held = std::min<uint64_t>(image.layout.total_len, job.file_size - image.position);
    print_flushed(start_message);
    printf(crc_message, crc_of_file_bytes(job.file, image.position, held));
    return Outcome::VOID;
}

uint32_t computed_crc(const uint8_t* image, uint32_t length) { return crc32_update(image + 4, length - 4, 0xFFFFFFFF); }

// With keys on the switch an image is installed only with a good signature by one of them; a
// refusal voids the rest of the download as a CRC failure does.
bool signature_refused(const Installation& job, const uint8_t* image, const ImageLayout& layout) {
    if (!signatures_required()) return false;
    SignatureVerdict verdict = check_image_signatures(switch_keys(), image, layout.total_len, job.signatures);
    if (verdict == SIGNATURE_GOOD) return false;
    printf("Signature check failed: %s, voiding download\n", signature_verdict_text(verdict));
    return true;
}

// --- flash partitions -------------------------------------------------------------------

// The boot loader is limited by its len field; the others by their total length.
uint32_t compared_length(const FlashTarget& target, const uint8_t* image, uint32_t total_len) {
    return target.type == IMAGE_BOOTLOADER ? read_be32(image + 4) : total_len;
}

Outcome install_flash_image(Installation& job, const FlashTarget& target, const uint8_t* image,
                            const ImageLayout& layout) {
    print_flushed(target.start_message);
    uint32_t crc = computed_crc(image, layout.total_len);
    if (crc != read_be32(image)) {
        printf(target.crc_message, crc);
        return Outcome::VOID;
    }
    if (signature_refused(job, image, layout)) return Outcome::VOID;
    uint32_t length = compared_length(target, image, layout.total_len);
    if (length > target.limit) {
        printf(target.too_big_message, length, target.limit);
        return Outcome::VOID;
    }
    if (job.check_version && same_version(image, layout, job.slot)) {
        puts("Image has same version as existing image. Skipping update...");
        ++job.skipped;
        return Outcome::NEXT;
    }
    // The boot loader's header is not written: its payload carries its own copy at byte 240.
    const uint8_t* data = image;
    uint32_t data_len = layout.total_len;
    if (target.type == IMAGE_BOOTLOADER) {
        data = image + layout.header_len;
        data_len = layout.payload_len;
    }
    // The rescue partition keeps the image's signatures, which its boot checks.
    if (target.type == IMAGE_DIAGNOSTICS) data_len += job.signature_bytes;
    if (flash_write(data, partition_of_type(target.type), 0, data_len, 1) != 0) {
        puts(target.failure_message);
        return Outcome::VOID;
    }
    job.installed = 1;
    if (target.type == IMAGE_DIAGNOSTICS) puts("done");
    return Outcome::NEXT;
}

// --- application images -------------------------------------------------------------------

// The first application image without a slot asks for one; the answer holds for the package.
// Only a break at the question counts, and the break that cancels the install is used up by it:
// the menu that may follow must not take it for one more.
int ask_install_slot() {
    break_requested = 0;
    print_flushed("Install image as image 1 or 2 (hit return to just boot image): ");
    int answer = read_slot_answer(stdin);
    if (answer == SLOT_ANSWER_BREAK) {
        break_requested = 0;
        putchar('\n');
    }
    return answer;
}

bool write_boot_archive(const uint8_t* image, const ImageLayout& layout) {
    FILE* archive = fopen("/tmp/vemoximage.tar.gz", "wb");
    if (archive == nullptr) {
        printf("Image unpack failed (err %d)\n", errno);
        return false;
    }
    bool written = layout.payload_len == 0 || fwrite(image + layout.header_len, layout.payload_len, 1, archive) == 1;
    int error = errno;
    // The buffered tail reaches the file only at the close, where a full /tmp shows.
    if (fclose(archive) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) printf("Image unpack failed (err %d)\n", error);
    return written;
}

bool write_slot_file(int slot, const uint8_t* image, uint32_t total_len) {
    if (!path_exists("/user/images")) mkdir("/user/images", 0777);
    const char* path = slot_write_path(slot, total_len);
    FILE* out = fopen(path, "wb");
    if (out == nullptr) {
        printf("Image%d update failed (err %d)\n", slot, errno);
        return false;
    }
    printf("    ");
    for (uint32_t written = 0; written < total_len;) {
        uint32_t piece = std::min(total_len - written, SLOT_PIECE_SIZE);
        if (fwrite(image + written, piece, 1, out) != 1) {
            printf("Image%d update failed (err %d)\n", slot, errno);
            fclose(out);
            if (path != slot_image_path(slot)) remove(path);
            return false;
        }
        written += piece;
        show_percent(written, total_len);
    }
    show_percent_done();
    // The last buffered bytes reach the file system only now; a full /user shows here.
    bool stored = fflush(out) == 0 && fsync(fileno(out)) == 0;
    if (fclose(out) != 0 || !stored || !commit_slot_file(slot, path, total_len)) {
        printf("Image%d update failed (err %d)\n", slot, errno);
        if (path != slot_image_path(slot)) remove(path);
        return false;
    }
    printf("\nImage%d updated succeeded\n", slot);
    return true;
}

Outcome install_application_image(Installation& job, const uint8_t* image, const ImageLayout& layout) {
    print_flushed(application_start_message);
    uint32_t crc = computed_crc(image, layout.total_len);
    if (crc != read_be32(image)) {
        printf(application_crc_message, crc);
        return Outcome::VOID;
    }
    if (signature_refused(job, image, layout)) return Outcome::VOID;
    if (job.slot == 0) job.slot = ask_install_slot();
    // The interrupt key cancels the install: the download is neither installed nor booted.
    if (job.slot == SLOT_ANSWER_BREAK) return Outcome::VOID;
    if (job.slot == 0) {
        puts("Booting downloaded image");
        if (!write_boot_archive(image, layout)) return Outcome::VOID;
        puts("Image ready to boot...");
        return Outcome::BOOT;
    }
    printf("Installing image as image%d: ", job.slot);
    if (job.check_version && same_version(image, layout, job.slot)) {
        printf("Image%d has same version as existing image. Skipping update...\n", job.slot);
        ++job.skipped;
        // Nothing is written, the boot slot included: a replacement left on a stick must not
        // take the switch back from a slot installed since.
        return Outcome::NEXT;
    }
    if (!write_slot_file(job.slot, image, layout.total_len + job.signature_bytes)) return Outcome::VOID;
    job.installed = 1;
    note_new_slot_image(job.slot, read_be32(image));
    set_boot_slot(uint8_t(job.slot));
    return Outcome::NEXT;
}

// --- the walk -------------------------------------------------------------------------------

bool type_known(uint32_t type) { return type == IMAGE_APPLICATION || flash_target_of(type) != nullptr; }

// An image of a known type: read whole, verified and installed. One whose lengths are malformed
// or run past the end of the file cannot be verified: it fails as a CRC mismatch, without
// allocating the length it claims.
Outcome install_image(Installation& job, const FoundImage& image, bool malformed) {
    const FlashTarget* target = flash_target_of(image.type);
    const char* start_message = target ? target->start_message : application_start_message;
    const char* crc_message = target ? target->crc_message : application_crc_message;
    uint32_t total_len = image.layout.total_len;
    if (malformed || total_len > job.file_size - image.position)
        return refuse_unreadable_image(job, image, start_message, crc_message);

    job.signatures = {};
    job.signature_bytes = 0;
    if (signatures_required()) {
        job.signatures = read_signature_run(job.file, image.position + total_len);
        if (!job.signatures.malformed) job.signature_bytes = uint32_t(job.signatures.end - image.position - total_len);
    }
    ImageBuffer buffer(static_cast<uint8_t*>(malloc(total_len + job.signature_bytes)));
    if (!buffer) {
        printf("Failed to allocate buffer for image (%d)\n", total_len);
        return Outcome::VOID;
    }
    fseeko(job.file, off_t(image.position), SEEK_SET);
    // a file that shrank or failed under us: the image cannot be verified
    if (fread(buffer.get(), total_len + job.signature_bytes, 1, job.file) != 1)
        return refuse_unreadable_image(job, image, start_message, crc_message);
    if (target != nullptr) return install_flash_image(job, *target, buffer.get(), image.layout);
    return install_application_image(job, buffer.get(), image.layout);
}

uint64_t file_size_of(FILE* file) {
    struct stat status;
    return fstat(fileno(file), &status) == 0 ? uint64_t(status.st_size) : 0;
}

}  // namespace

int read_slot_answer(FILE* console) {
    char line[32];
    // On a terminal a line is read whole, so nothing waits in the stream's buffer here.
    if (isatty(fileno(console)) && !wait_for_key(fileno(console))) return SLOT_ANSWER_BREAK;
    if (fgets(line, sizeof line, console) == nullptr) {
        bool broken = ferror(console) && errno == EINTR;
        clearerr(console);
        return broken ? SLOT_ANSWER_BREAK : 0;
    }
    // The rest of an over-long line must not answer the next question.
    if (strchr(line, '\n') == nullptr)
        for (int c = fgetc(console); c != EOF && c != '\n';) c = fgetc(console);
    return line[0] == '1' || line[0] == '2' ? line[0] - '0' : 0;
}

InstallResult install_package(const char* path, uint8_t check_version, int slot) {
    return install_package_counting(path, check_version, slot, nullptr);
}

InstallResult install_package_counting(const char* path, uint8_t check_version, int slot, int* skipped) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        printf("Cannot open package %s (err %d)\n", path, errno);
        return INSTALL_NOTHING;
    }
    puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    Installation job{file, file_size_of(file), check_version, slot, 0, 0, {}, 0};

    // walk the images; an unknown type is stepped over by its length without being read, and
    // one whose lengths cannot be stepped over leaves nothing more to find in the file
    PackageWalk walk = walk_stream(file);
    FoundImage image;
    for (WalkStep step; (step = walk_next(&walk, &image)) != WALK_END;) {
        if (!type_known(image.type)) {
            if (step == WALK_MALFORMED) break;
            continue;
        }
        Outcome outcome = install_image(job, image, step == WALK_MALFORMED);
        if (outcome != Outcome::NEXT) {
            fclose(file);
            return outcome == Outcome::BOOT ? INSTALL_BOOT_DOWNLOAD : INSTALL_NOTHING;
        }
    }

    // the whole file is done
    puts("File processed");
    fclose(file);
    if (skipped) *skipped = job.skipped;
    if (!job.installed) puts("ERROR: No valid image found");
    return job.installed ? INSTALL_DONE : INSTALL_NOTHING;
}
