// The installed version report: the id of each installed image's header, as a.b.c.d.
#include "install/versions.h"

#include <cstdint>
#include <cstdio>

#include "image/image_header.h"
#include "install/installed_header.h"

namespace {

// A header that cannot be read stays zero and shows as 0.0.0.0.
void print_version_line(const char* format, uint32_t type, int slot) {
    uint8_t header[IMAGE_HEADER_SIZE] = {};
    read_installed_header(type, header, slot);
    printf(format, header[12], header[13], header[14], header[15]);
}

}  // namespace

int print_installed_versions() {
    puts("Installed images versions: ");
    print_version_line("\tBoot image  : %d.%d.%d.%d\n", IMAGE_BOOTLOADER, 0);
    print_version_line("\tRFS image   : %d.%d.%d.%d\n", IMAGE_ROOTFS, 0);
    print_version_line("\tKernel image: %d.%d.%d.%d\n", IMAGE_KERNEL, 0);
    print_version_line("\tDFT image   : %d.%d.%d.%d\n", IMAGE_DEVICETREE, 0);
    print_version_line("\tOS image 1  : %d.%d.%d.%d\n", IMAGE_APPLICATION, 1);
    print_version_line("\tOS image 2  : %d.%d.%d.%d\n", IMAGE_APPLICATION, 2);
    return 0;
}
