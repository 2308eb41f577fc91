// The headers of the installed images, read back for the version report and the same-version
// test of the installer.
#include "install/installed_header.h"

#include <cstdlib>
#include <cstring>

#include "common/files.h"
#include "hw/flash.h"
#include "image/image_header.h"

void read_slot_header(FILE* slot_file, uint8_t* header) {
    memset(header, 0, IMAGE_HEADER_SIZE);
    // A short file is still an installed slot: its missing bytes stay zero.
    [[maybe_unused]] size_t read = fread(header, 1, IMAGE_HEADER_SIZE, slot_file);
}

int partition_of_type(uint32_t type) {
    switch (type) {
        case IMAGE_BOOTLOADER: return flash_partitions.uboot;
        case IMAGE_KERNEL: return flash_partitions.kernel;
        case IMAGE_ROOTFS: return flash_partitions.rfs;
        case IMAGE_DEVICETREE: return flash_partitions.devicetree;
        case IMAGE_DIAGNOSTICS: return flash_partitions.rescue;
        default: return -1;
    }
}

namespace {

// The result of the flash read is not consulted: an unreadable partition reads as zeros.
bool read_flash_header(int fd, uint32_t offset, uint8_t* header) {
    flash_read(header, fd, offset, IMAGE_HEADER_SIZE);
    return true;
}

bool read_application_header(int slot, uint8_t* header) {
    const char* path = slot_image_path(slot);
    FILE* file = path != nullptr ? fopen(path, "rb") : nullptr;
    if (file == nullptr) return false;
    read_slot_header(file, header);
    fclose(file);
    return true;
}

}  // namespace

bool read_installed_header(uint32_t type, uint8_t* header, int slot) {
    if (header == nullptr) return false;
    memset(header, 0, IMAGE_HEADER_SIZE);
    switch (type) {
        case IMAGE_APPLICATION: return read_application_header(slot, header);
        case IMAGE_BOOTLOADER: return read_flash_header(partition_of_type(type), BOOTLOADER_HEADER_OFFSET, header);
        case IMAGE_KERNEL:
        case IMAGE_ROOTFS:
        case IMAGE_DEVICETREE:
        case IMAGE_DIAGNOSTICS: return read_flash_header(partition_of_type(type), 0, header);
        default: printf("Unknown image type 0x%x \n", type); return false;
    }
}

namespace {

// The first count bytes of the installed image (the slot file, or the partition from offset 0)
// equal the expected ones; false when they cannot be read whole.
bool installed_bytes_equal(uint32_t type, int slot, const uint8_t* expected, uint32_t count) {
    uint8_t* installed = static_cast<uint8_t*>(malloc(count == 0 ? 1 : count));
    if (installed == nullptr) return false;
    bool read = false;
    if (type == IMAGE_APPLICATION) {
        FILE* file = slot_image_path(slot) ? fopen(slot_image_path(slot), "rb") : nullptr;
        read = file != nullptr && fread(installed, 1, count, file) == count;
        if (file) fclose(file);
    } else {
        read = flash_read(installed, partition_of_type(type), 0, count) == 0;
    }
    bool equal = read && memcmp(installed, expected, count) == 0;
    free(installed);
    return equal;
}

}  // namespace

bool same_version(const uint8_t* new_image, const ImageLayout& layout, int slot) {
    uint32_t type = read_be32(new_image + 8) & IMAGE_TYPE_MASK;
    uint8_t installed[IMAGE_HEADER_SIZE];
    if (!read_installed_header(type, installed, slot)) return false;
    // The boot loader's copy of its header sits inside the payload that its crc covers, so it
    // can never hold the crc; it is left out of the comparison.
    size_t from = type == IMAGE_BOOTLOADER ? 4 : 0;
    if (memcmp(new_image + from, installed + from, IMAGE_HEADER_SIZE - from) != 0) return false;
    // The boot loader is installed as its payload alone, every other type whole.
    if (type == IMAGE_BOOTLOADER)
        return installed_bytes_equal(type, slot, new_image + layout.header_len, layout.payload_len);
    return installed_bytes_equal(type, slot, new_image, layout.total_len);
}
