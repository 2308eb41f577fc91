// The format code reads installed headers from flash, which the fuzz target never does; these
// stand in for the flash access so that nothing else of the program is built with the fuzzer.
#include "hw/flash.h"

FlashPartitions flash_partitions;

int flash_read(void*, int, uint32_t, uint32_t)
{
    return -1;
}
