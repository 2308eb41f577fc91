// The boot spine's slot choice from the EEPROM. The interrupt handler is tried through the
// console waits it must end (test_console_input).
#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "hw/eeprom.h"
#include "support/test_board.h"

namespace {

// Only cell value 2 chooses slot 2; an unreadable EEPROM chooses slot 1.
TEST(BootSlotChoice, FollowsTheEepromCell) {
    const struct {
        uint8_t cell;
        const char* faults;
        int slot;
    } cases[] = {{1, "", 1}, {2, "", 2}, {0x00, "", 1}, {0x03, "", 1}, {0x12, "", 1}, {0xff, "", 1},
                 {2, "missing /dev/i2c-0\n", 1}};
    TestBoard board;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.cell) << " " << c.faults);
        board.set_eeprom(EEPROM_BOOT_SLOT, c.cell);
        board.set_faults(c.faults);
        capture_stdout([&] { i2c_open_buses(); EXPECT_EQ(select_boot_slot(), c.slot); });
        close_board_devices();
    }
}

}  // namespace
