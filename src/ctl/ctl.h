// bmctl, the update tool of the running switch: its commands over the boot state of the EEPROM,
// the slot files and the installer. Results go to the stream `results` (standard output);
// everything the libraries print, and bmctl's own messages, to standard error.
#pragma once
#include <cstdio>

enum CtlExit { CTL_OK = 0, CTL_FAILED = 1, CTL_USAGE = 2 };

extern FILE* results;

// A failure: "bmctl: WHAT: REASON" on standard error; returns CTL_FAILED.
int fail(const char* what, const char* reason);
// The EEPROM buses and the flash partitions opened, and the boot options read. False, with the
// message, when the EEPROM bus is missing.
bool open_devices();
// The slot this start came from (the boot mode cell): 1 or 2, or 0 for the USB stick, the rescue
// partition or anything else.
int started_slot();

int run_status(bool json);
int run_install(const char* path, int slot, bool skip_same);
int run_set_slot(int slot);
int run_mark_good();
