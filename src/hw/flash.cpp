// placeholder until the MTD code lands
#include "hw/flash.h"
int flash_open_partitions() { return 1; }
bool mtd_get_geometry(int, MtdGeometry*) { return false; }
bool mtd_erase(int, uint32_t, uint32_t) { return false; }
bool mtd_read(int, uint32_t, uint32_t, void*) { return false; }
bool mtd_write(int, uint32_t, uint32_t, const void*) { return false; }
int flash_read(void*, int, uint32_t, uint32_t) { return -1; }
int flash_write(const void*, int, uint32_t, uint32_t, uint8_t) { return -1; }
