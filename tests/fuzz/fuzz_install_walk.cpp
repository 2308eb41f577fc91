// A package as the installer walks it: every image verified, the flash images written to the
// board's partitions, an application booted as a download (nobody answers the slot question:
// standard input is empty), so that nothing but the board and /tmp/vemoximage.tar.gz is written.
#include <stdio.h>

#include "fuzz_board.h"
#include "install/installer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = freopen("/dev/null", "r", stdin) && freopen("/dev/null", "w", stdout);
    (void)quiet;
    std::string package = fuzz_file(data, size, "package.img");
    install_package(package.c_str(), 1, 0);
    return 0;
}
