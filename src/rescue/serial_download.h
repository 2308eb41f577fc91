// XMODEM download over the serial console at 115200 bps.
#pragma once
#include <termios.h>

#include "common/ending.h"

// The console port's settings from before the download, put back afterwards.
extern struct termios saved_serial_settings;

// Receives a package into "/tmp/image" and installs it; END_START_APPLICATION when the operator
// chose to boot the downloaded application.
Ending xmodem_rescue();
int serial_download_setup();
void serial_download_restore(int fd);
// The download's port settings made from the saved ones.
struct termios download_settings(const struct termios& saved);
