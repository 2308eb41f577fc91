// placeholder until the USB code lands
#include "console/usb_media.h"
int mount_usb() { return -1; }
void check_usb_boot_image() {}
int check_usb_replacements() { return 0; }
int usb_install_menu() { return 0; }
