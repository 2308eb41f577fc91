// The simulated board's devices: MTD partitions and I2C buses answered from files in a board
// directory. Preloaded into the bootmanager program (libbmsim_devices.so), or linked into unit
// tests, where these calls point it at a test's board.
#pragma once

// Attaches the emulator to a board directory (the preloaded library reads BMSIM_BOARD, default
// "/sim") and resets its request counters and fault state.
void sim_devices_attach(const char* board_dir);
// Detaches: device paths are no longer emulated.
void sim_devices_detach();
