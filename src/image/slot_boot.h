// Booting an application image from a slot file or from the USB stick.
#pragma once

// 1 = "/user/images/image1", 2 = "/user/images/image2", 3 = the USB stick image, 0 = none yet.
using BootSource = int;
// A BootSource of 1 or 2.
using BootSlot = int;

int boot_image(BootSource source);
