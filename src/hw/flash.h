// MTD flash partitions: open once at start, read byte ranges, rewrite erase block by erase block.
#pragma once
#include <cstdint>

// Descriptors of the six partitions; -1 where the open failed. Never closed.
struct FlashPartitions {
    int uboot = -1;
    int ubootenv = -1;
    int devicetree = -1;
    int kernel = -1;
    int rfs = -1;
    int rescue = -1;
};
extern FlashPartitions flash_partitions;

struct MtdGeometry {
    uint32_t block_count;
    uint32_t erase_size;
    uint32_t erase_shift;
    uint32_t size;
};

int flash_open_partitions();
bool mtd_get_geometry(int fd, MtdGeometry* geometry);
bool mtd_erase(int fd, uint32_t offset, uint32_t length);
bool mtd_read(int fd, uint32_t offset, uint32_t length, void* buffer);
bool mtd_write(int fd, uint32_t offset, uint32_t length, const void* buffer);

// Both return 0 on success and -1 on failure.
int flash_read(void* buffer, int fd, uint32_t offset, uint32_t length);
int flash_write(const void* data, int fd, uint32_t offset, uint32_t length, uint8_t show_progress);
