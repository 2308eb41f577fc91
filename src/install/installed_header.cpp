// The headers of the installed images, read back for the version report and the same-version
// test of the installer.
#include "install/installed_header.h"

#include <cstring>

#include "common/files.h"
#include "hw/flash.h"
#include "image/image_header.h"

void read_slot_header(FILE* slot_file, uint8_t* header) {
    memset(header, 0, IMAGE_HEADER_SIZE);
    size_t read = fread(header, 1, IMAGE_HEADER_SIZE, slot_file);
    (void)read;  // a short file is still an installed slot: its missing bytes stay zero
}

// The result of the flash read is not consulted: an unreadable partition reads as zeros.
static bool read_flash_header(int fd, uint32_t offset, uint8_t* header) {
    flash_read(header, fd, offset, IMAGE_HEADER_SIZE);
    return true;
}

static bool read_application_header(int slot, uint8_t* header) {
    const char* path = slot_image_path(slot);
    FILE* file = path != nullptr ? fopen(path, "rb") : nullptr;
    if (file == nullptr) return false;
    read_slot_header(file, header);
    fclose(file);
    return true;
}

bool read_installed_header(uint32_t type, uint8_t* header, int slot) {
    if (header == nullptr) return false;
    memset(header, 0, IMAGE_HEADER_SIZE);
    switch (type) {
        case IMAGE_APPLICATION: return read_application_header(slot, header);
        case IMAGE_BOOTLOADER: return read_flash_header(flash_partitions.uboot, BOOTLOADER_HEADER_OFFSET, header);
        case IMAGE_KERNEL: return read_flash_header(flash_partitions.kernel, 0, header);
        case IMAGE_ROOTFS: return read_flash_header(flash_partitions.rfs, 0, header);
        case IMAGE_DEVICETREE: return read_flash_header(flash_partitions.devicetree, 0, header);
        case IMAGE_DIAGNOSTICS: return read_flash_header(flash_partitions.rescue, 0, header);
        default: printf("Unknown image type 0x%x \n", type); return false;
    }
}

bool same_version(const uint8_t* new_header, int slot) {
    uint32_t type = read_be32(new_header + 8) & IMAGE_TYPE_MASK;
    uint8_t installed[IMAGE_HEADER_SIZE];
    if (!read_installed_header(type, installed, slot)) return false;
    // The boot loader's copy of its header sits inside the payload that its crc covers, so it
    // can never hold the crc; it is left out of the comparison.
    size_t from = type == IMAGE_BOOTLOADER ? 4 : 0;
    return memcmp(new_header + from, installed + from, IMAGE_HEADER_SIZE - from) == 0;
}
