// The simulated board's devices: MTD partitions and I2C buses answered from files in a board
// directory. Preloaded into the bootmanager program (libbmsim_devices.so), or linked into unit
// tests, where these calls point it at a test's board.
#pragma once

// Attaches the emulator to a board directory (the preloaded library reads BMSIM_BOARD, default
// "/sim") and BMSIM_TIME_SCALE, and restarts the request counters that faults count by.
// Attaching again to the same board keeps the descriptors open on it.
void sim_devices_attach(const char* board_dir);
// Detaches: device paths are no longer emulated, and descriptors open on devices become the
// plain descriptors they are underneath.
void sim_devices_detach();

#if BMSIM_PRELOADED
#include <cstddef>
#include <cstdint>
// A write to the board EEPROM (bus 0, 0x54) from its address pointer on: a boot-slot write keeps
// the slot file it names as it stands now (slot_watch.cpp).
void sim_note_eeprom_write(uint32_t pointer, const uint8_t* data, size_t count);
#endif
