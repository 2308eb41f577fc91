// XMODEM download over the serial console at 115200 bps.
#pragma once
#include <termios.h>

extern struct termios saved_serial_settings;

int xmodem_rescue();
int serial_download_setup();
void serial_download_restore(int fd);
