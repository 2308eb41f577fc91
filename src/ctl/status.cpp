// bmctl status: the boot state and the slots as facts, as lines or as one JSON object.
#include <cstdio>

#include "ctl/ctl.h"
#include "hw/eeprom.h"
#include "hw/start_count.h"
#include "install/installed_header.h"
#include "install/slot_state.h"

namespace {

struct FlashVersion {
    const char* name;
    uint32_t type;
};
// The flash images of the version report, in its order.
const FlashVersion flash_versions[] = {{"bootloader", IMAGE_BOOTLOADER},
                                       {"rfs", IMAGE_ROOTFS},
                                       {"kernel", IMAGE_KERNEL},
                                       {"devicetree", IMAGE_DEVICETREE}};

struct Status {
    int boot_slot, boot_mode;
    bool usb_boot;
    SlotState slots[2];
    SlotStarts starts[2];
    char flash[4][16];
};

const char* mode_name(int mode) {
    switch (mode) {
        case 1: return "slot 1";
        case 2: return "slot 2";
        case 3: return "USB stick";
        case 4: return "rescue partition";
        default: return "unknown";
    }
}

const char* type_name(const SlotState& slot) {
    if (!slot.found) return nullptr;
    return slot.image.type == IMAGE_DIAGNOSTICS ? "diagnostics" : "application";
}

Status read_status() {
    Status status = {};
    status.boot_slot = get_boot_slot() == 2 ? 2 : 1;
    uint8_t mode = 0;
    eeprom_read(EEPROM_BOOT_MODE, 1, &mode);
    status.boot_mode = mode;
    status.usb_boot = get_usb_boot_marker() == USB_BOOT_ENABLED;
    for (int i = 0; i < 2; ++i) {
        status.slots[i] = read_slot_state(i + 1);
        if (start_limit && status.slots[i].found)
            status.starts[i] = read_slot_starts(i + 1, slot_image_crc(status.slots[i]));
    }
    for (int i = 0; i < 4; ++i) {
        uint8_t header[IMAGE_HEADER_SIZE] = {};
        read_installed_header(flash_versions[i].type, header, 0);
        format_version(read_be32(header + 12), status.flash[i]);
    }
    return status;
}

void print_lines(const Status& status) {
    fprintf(results, "boot slot: %d\n", status.boot_slot);
    fprintf(results, "boot mode: %d (%s)\n", status.boot_mode, mode_name(status.boot_mode));
    fprintf(results, "usb boot: %s\n", status.usb_boot ? "on" : "off");
    for (int i = 0; i < 2; ++i) {
        const SlotState& slot = status.slots[i];
        char version[16];
        format_version(read_be32(slot.image.header + 12), version);
        if (!slot.present)
            fprintf(results, "slot %d: missing\n", i + 1);
        else if (!slot.found)
            fprintf(results, "slot %d: no image\n", i + 1);
        else
            fprintf(results, "slot %d: %s %s, %u bytes, crc %s\n", i + 1, type_name(slot), version,
                    slot.image.layout.total_len, slot.crc_ok ? "ok" : "bad");
    }
    for (int i = 0; i < 4; ++i) fprintf(results, "%s: %s\n", flash_versions[i].name, status.flash[i]);
    if (!start_limit) {
        fputs("start limit: off\n", results);
        return;
    }
    fprintf(results, "start limit: %d\n", start_limit);
    for (int i = 0; i < 2; ++i)
        if (status.slots[i].found)
            fprintf(results, "slot %d starts: %d%s\n", i + 1, status.starts[i].count,
                    status.starts[i].confirmed ? ", confirmed" : "");
}

void print_json_slot(const Status& status, int i) {
    const SlotState& slot = status.slots[i];
    fprintf(results, "{\"slot\":%d,\"present\":%s", i + 1, slot.present ? "true" : "false");
    if (slot.found) {
        char version[16];
        format_version(read_be32(slot.image.header + 12), version);
        fprintf(results, ",\"type\":\"%s\",\"version\":\"%s\",\"length\":%u", type_name(slot), version,
                slot.image.layout.total_len);
    } else {
        fputs(",\"type\":null,\"version\":null,\"length\":0", results);
    }
    fprintf(results, ",\"crc_ok\":%s", slot.crc_ok ? "true" : "false");
    if (start_limit && slot.found)
        fprintf(results, ",\"starts\":%d,\"confirmed\":%s", status.starts[i].count,
                status.starts[i].confirmed ? "true" : "false");
    fputc('}', results);
}

void print_json(const Status& status) {
    fprintf(results, "{\"boot_slot\":%d,\"boot_mode\":%d,\"usb_boot\":%s,\"slots\":[", status.boot_slot,
            status.boot_mode, status.usb_boot ? "true" : "false");
    for (int i = 0; i < 2; ++i) {
        if (i) fputc(',', results);
        print_json_slot(status, i);
    }
    fputs("],\"flash\":{", results);
    for (int i = 0; i < 4; ++i)
        fprintf(results, "%s\"%s\":\"%s\"", i ? "," : "", flash_versions[i].name, status.flash[i]);
    fprintf(results, "},\"start_limit\":%d}\n", start_limit);
}

}  // namespace

int run_status(bool json) {
    Status status = read_status();
    json ? print_json(status) : print_lines(status);
    return CTL_OK;
}
