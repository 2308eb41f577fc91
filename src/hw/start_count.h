// The start counts of the two application slots, for the opt-in rollback after failed starts
// (the boot option startlimit=N). They live in the board EEPROM, three cells a slot after the
// USB marker: a count cell and the low two bytes of the CRC of the image the count belongs to.
//
// Why there: the EEPROM already holds the boot state that must survive a power cut, each cell is
// written whole or not at all, and the boot sequence reads it before /user matters. Why safe when
// the setting is switched on later: nothing writes these cells while the setting is off, so they
// may hold anything (0xFF from the factory, a count of an image long gone). A count is taken only
// when its CRC cells name the image in the slot now, and only a count cell of the one form
// 0xA0 + n counts starts; anything else reads as a fresh, unconfirmed image with no start yet. A
// stale value can therefore never roll an image back, nor confirm one. Writes go count first, CRC
// second, and the CRC only after a count written without error: a power cut or a failed write
// between them leaves a count whose CRC does not match, which reads as fresh.
#pragma once
#include <cstdint>

constexpr uint16_t EEPROM_START_COUNTS = 0x13C;  // slot 1 at 0x13C..0x13E, slot 2 at 0x13F..0x141
constexpr uint8_t START_LIMIT_MAX = 9;

// The start limit in force: 0 (off) or 1..9. Set from the boot options; off, nothing here reads
// or writes the EEPROM.
extern uint8_t start_limit;

struct SlotStarts {
    bool confirmed;  // the application of this image said that it works (bmctl mark-good)
    uint8_t count;   // unconfirmed starts of this image
};

// The state of the image with this CRC in the slot (1 or 2).
SlotStarts read_slot_starts(int slot, uint32_t image_crc);
// True when an unconfirmed image has been started more than the limit allows.
bool starts_run_out(const SlotStarts& starts);
// Before a start of the slot's image: counts it, unless it is confirmed. False, with nothing
// written and a console line, when the image has run out of starts. True for anything but slots
// 1 and 2, and when the limit is off.
bool count_slot_start(int slot, uint32_t image_crc);
// The image confirms itself: written only when it is not confirmed yet.
bool confirm_slot_image(int slot, uint32_t image_crc);
// A new image went into the slot: it starts unconfirmed, with no start. Nothing when off.
void note_new_slot_image(int slot, uint32_t image_crc);
