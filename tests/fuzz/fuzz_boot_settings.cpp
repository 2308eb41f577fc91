// The boot loader's environment and the application's env-setup file, as the boot reads them:
// any text gives a set of options, and any env-setup file a set of variables.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "boot/app_start.h"
#include "options/boot_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    BootOptions options{};
    parse_boot_parameters(text.c_str(), &options);

    std::vector<uint8_t> bytes(data, data + size);
    if (FILE* file = size ? fmemopen(bytes.data(), size, "r") : nullptr) {
        apply_env_setup(file);
        fclose(file);
    }
    clearenv();  // the variables of one input must not pile up over the run
    return 0;
}
