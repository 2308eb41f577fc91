// The steps of the USB file chooser (usb_install_menu) that touch neither the console nor the
// installer: reading an answer, listing and finding the stick's installable entries.
#pragma once
#include <dirent.h>

enum UsbMenuAnswer { USB_ANSWER_QUIT, USB_ANSWER_NUMBER, USB_ANSWER_INVALID };

// q or Q first quits; a leading decimal number (blanks before it allowed, anything after it
// ignored) is taken into *number; anything else is invalid.
UsbMenuAnswer parse_usb_menu_answer(const char* line, int* number);
// True for an entry of the working directory that the chooser offers: anything but a directory.
bool usb_entry_offered(const char* name);
// Prints every offered entry of dir with "\t%d: %s\n", numbered from 1; returns the count.
// The working directory must be the one that dir lists.
int list_usb_entries(DIR* dir);
// The name of offered entry number `number` (same numbering as the list), or nullptr when the
// directory ends first. The name lives until dir is closed or read again.
const char* find_usb_entry(DIR* dir, int number);
