// The start counts of the application slots in the board EEPROM (see start_count.h for the why).
#include "hw/start_count.h"

#include <cstdio>

#include "hw/eeprom.h"

uint8_t start_limit = 0;

namespace {

constexpr uint8_t COUNT_MARK = 0xA0;  // 0xA0 + n: n unconfirmed starts
constexpr uint8_t COUNT_MASK = 0xF0;
constexpr uint8_t CONFIRMED = 0x5C;

uint16_t cells_of(int slot) { return uint16_t(EEPROM_START_COUNTS + 3 * (slot - 1)); }

bool is_slot(int slot) { return slot == 1 || slot == 2; }

// The count cell first, then the CRC cells when they name another image (see the header); the
// CRC cells only once the count cell is written.
bool write_slot_state(int slot, uint32_t image_crc, uint8_t count_cell) {
    uint16_t cells = cells_of(slot);
    uint8_t stored[3] = {};
    eeprom_read(cells, 3, stored);
    // A count cell that was not written must not pass to the new image with its CRC.
    if (eeprom_write_byte(cells, count_cell) != 3) return false;
    const uint8_t tag[2] = {uint8_t(image_crc >> 8), uint8_t(image_crc)};
    for (int i = 0; i < 2; ++i)
        if (stored[1 + i] != tag[i] && eeprom_write_byte(uint16_t(cells + 1 + i), tag[i]) != 3) return false;
    return true;
}

}  // namespace

SlotStarts read_slot_starts(int slot, uint32_t image_crc) {
    SlotStarts starts = {false, 0};
    if (!is_slot(slot)) return starts;
    uint8_t stored[3] = {};
    eeprom_read(cells_of(slot), 3, stored);
    if (stored[1] != uint8_t(image_crc >> 8) || stored[2] != uint8_t(image_crc)) return starts;
    if (stored[0] == CONFIRMED) starts.confirmed = true;
    if ((stored[0] & COUNT_MASK) == COUNT_MARK) starts.count = stored[0] & ~COUNT_MASK;
    return starts;
}

bool starts_run_out(const SlotStarts& starts) {
    return start_limit != 0 && !starts.confirmed && starts.count >= start_limit;
}

bool count_slot_start(int slot, uint32_t image_crc) {
    if (start_limit == 0 || !is_slot(slot)) return true;
    SlotStarts starts = read_slot_starts(slot, image_crc);
    if (starts.confirmed) return true;
    if (starts_run_out(starts)) {
        printf("Image%d was started %d time%s without being confirmed.\n", slot, starts.count,
               starts.count == 1 ? "" : "s");
        return false;
    }
    write_slot_state(slot, image_crc, uint8_t(COUNT_MARK + starts.count + 1));
    return true;
}

bool confirm_slot_image(int slot, uint32_t image_crc) {
    if (!is_slot(slot)) return false;
    if (read_slot_starts(slot, image_crc).confirmed) return true;
    return write_slot_state(slot, image_crc, CONFIRMED);
}

void note_new_slot_image(int slot, uint32_t image_crc) {
    if (start_limit == 0 || !is_slot(slot)) return;
    write_slot_state(slot, image_crc, COUNT_MARK);
}
