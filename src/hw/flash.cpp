// MTD flash partitions: opened once at start, read as byte ranges, and rewritten erase block by
// erase block. Offsets and lengths are unsigned 32-bit, and so is all arithmetic on them.
#include "hw/flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/progress.h"

namespace {

constexpr uint32_t WRITE_CHUNK = 1024;

struct PartitionDevice {
    int FlashPartitions::*member;
    const char* path;
    int flags;
};

// The boot loader's and the system's partitions are written synchronously (0x1002 on the
// target: the synchronous-write bit alone, which today's headers call O_DSYNC; O_SYNC now adds
// a second bit); the rescue partition is not.
const PartitionDevice partition_devices[] = {
    {&FlashPartitions::uboot, "/dev/mtd-uboot", O_RDWR | O_DSYNC},
    {&FlashPartitions::ubootenv, "/dev/mtd-ubootenv", O_RDWR | O_DSYNC},
    {&FlashPartitions::devicetree, "/dev/mtd-devicetree", O_RDWR | O_DSYNC},
    {&FlashPartitions::kernel, "/dev/mtd-kernel", O_RDWR | O_DSYNC},
    {&FlashPartitions::rfs, "/dev/mtd-rfs", O_RDWR | O_DSYNC},
    {&FlashPartitions::rescue, "/dev/mtd-rescue", O_RDWR},
};

uint32_t lowest_set_bit(uint32_t value) {
    uint32_t bit = 0;
    while (bit < 31 && !(value & (1u << bit))) ++bit;
    return bit;
}

// The block rewrite works in whole erase blocks and 1024-byte write chunks: an erase size that
// is zero, not a power of two, or not a multiple of 1024 would make it touch the wrong bytes.
bool usable_erase_size(uint32_t erase_size) {
    return erase_size != 0 && (erase_size & (erase_size - 1)) == 0 && erase_size % WRITE_CHUNK == 0;
}

// Prints a failure of the block rewrite: the message on its own line, then an empty line.
int rewrite_failed(const char* message) {
    printf("%s\n\n", message);
    return -1;
}

// Reads the block at address into the buffer, lays c new bytes over it at b, erases the block
// and writes it back in 1024-byte chunks.
int rewrite_block(int fd, uint32_t address, uint32_t erase_size, uint8_t* buffer, uint32_t b, const uint8_t* data,
                  uint32_t c) {
    memset(buffer, 0, erase_size);
    if (!mtd_read(fd, address, erase_size, buffer)) return rewrite_failed("Flash Write mtd read failed.");
    if (c > 0) memcpy(buffer + b, data, c);
    if (!mtd_erase(fd, address, erase_size)) return rewrite_failed("Flash Write mtd erase failed.");
    for (uint32_t j = 0; j < erase_size; j += WRITE_CHUNK) {
        if (!mtd_write(fd, address + j, WRITE_CHUNK, buffer + j))
            return rewrite_failed("Flash Write mtd write failed.");
    }
    return 0;
}

int rewrite_blocks(const uint8_t* data, int fd, uint32_t offset, uint32_t length, uint8_t show_progress,
                   const MtdGeometry& geometry) {
    const uint32_t E = geometry.erase_size;
    const uint32_t first = offset & ~(E - 1);
    const uint32_t last = ((offset + length - 1) & ~(E - 1)) + E - 1;
    const uint32_t n = (last - first + 1) >> geometry.erase_shift;

    uint8_t* buffer = static_cast<uint8_t*>(malloc(static_cast<size_t>(E) + WRITE_CHUNK));
    if (!buffer) {
        puts("Flash Write malloc failed");
        return -1;
    }
    if (show_progress) printf("     ");

    uint32_t consumed = 0;
    uint32_t address = first;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t b = 0;
        uint32_t c = E;
        if (n == 1) {
            b = offset - first;
            c = length;
        } else if (i == 0) {
            b = offset - first;
            c = E - b;
        } else if (i == n - 1) {
            c = length - consumed;
        }
        if (rewrite_block(fd, address, E, buffer, b, data + consumed, c) < 0) {
            free(buffer);
            return -1;
        }
        if (show_progress) {
            show_percent(i, n);
            fflush(stdout);
        }
        address += E;
        consumed += c;
    }
    if (show_progress) show_percent_done();
    free(buffer);
    return 0;
}

}  // namespace

FlashPartitions flash_partitions;

int flash_open_partitions() {
    for (const PartitionDevice& device : partition_devices)
        flash_partitions.*device.member = open(device.path, device.flags);
    return 1;
}

bool mtd_get_geometry(int fd, MtdGeometry* geometry) {
    mtd_info_user info{};
    if (ioctl(fd, MEMGETINFO, &info) != 0) {
        printf("Could not get MTD device info \n");
        return false;
    }
    if (!usable_erase_size(info.erasesize)) {
        printf("MTD device erase size %u not supported: it must be a power of two and a multiple of 1024\n",
               info.erasesize);
        return false;
    }
    geometry->block_count = info.size / info.erasesize;
    geometry->erase_size = info.erasesize;
    geometry->erase_shift = lowest_set_bit(info.erasesize);
    geometry->size = info.size;
    return true;
}

bool mtd_erase(int fd, uint32_t offset, uint32_t length) {
    erase_info_user erase{};
    erase.start = offset;
    erase.length = length;
    return ioctl(fd, MEMERASE, &erase) >= 0;
}

bool mtd_read(int fd, uint32_t offset, uint32_t length, void* buffer) { return pread(fd, buffer, length, offset) >= 0; }

bool mtd_write(int fd, uint32_t offset, uint32_t length, const void* buffer) {
    return pwrite(fd, buffer, length, offset) >= 0;
}

int flash_read(void* buffer, int fd, uint32_t offset, uint32_t length) {
    // The geometry is not needed, but the query refuses what is not an open MTD device.
    MtdGeometry geometry;
    if (!mtd_get_geometry(fd, &geometry)) return -1;
    return mtd_read(fd, offset, length, buffer) ? 0 : -1;
}

int flash_write(const void* data, int fd, uint32_t offset, uint32_t length, uint8_t show_progress) {
    MtdGeometry geometry;
    if (!mtd_get_geometry(fd, &geometry)) return -1;
    return rewrite_blocks(static_cast<const uint8_t*>(data), fd, offset, length, show_progress, geometry);
}
