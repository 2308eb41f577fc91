// The USB stick, mounted outside the program at "/mnt/usb" with "/tmp/usb" as readiness marker.
#pragma once

int mount_usb();
void check_usb_boot_image();
int check_usb_replacements();
int usb_install_menu();
