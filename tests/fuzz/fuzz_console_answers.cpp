// What the operator and the stick's tools type or leave: the USB chooser's answer, the slot
// question's line, and md5sum's output. Each must yield one of its outcomes and nothing else.
// Fault tried (src/store/rejected.cpp): the digest's hex check dropped -> a finding within 40 runs.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "install/installer.h"
#include "rescue/usb_media.h"
#include "store/rejected.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    int number = 0;
    UsbMenuAnswer answer = parse_usb_menu_answer(line.c_str(), &number);
    if (answer != USB_ANSWER_NUMBER && number != 0) __builtin_trap();

    std::vector<uint8_t> bytes(data, data + size);
    if (FILE* console = size ? fmemopen(bytes.data(), size, "r") : nullptr) {
        for (int slot; !feof(console) && (slot = read_slot_answer(console)) != 0;)
            if (slot != 1 && slot != 2) __builtin_trap();
        fclose(console);
    }
    if (FILE* output = size ? fmemopen(bytes.data(), size, "r") : nullptr) {
        char digest[MD5_TEXT_SIZE];
        if (read_md5_digest(output, digest) && strspn(digest, "0123456789abcdefABCDEF") != MD5_TEXT_SIZE - 1)
            __builtin_trap();
        fclose(output);
    }
    return 0;
}
