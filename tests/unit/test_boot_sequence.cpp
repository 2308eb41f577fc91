// The boot spine's own operations: the interrupt handler and the slot choice from the EEPROM.
#include <gtest/gtest.h>

#include <csignal>

#include "boot/boot_sequence.h"
#include "hw/eeprom.h"
#include "support/test_board.h"

namespace {

TEST(InterruptHandler, IsInstalledWithoutRestartAndOnlySetsTheFlag) {
    struct sigaction previous = {}, previous_quit = {}, installed = {}, quit = {};
    sigaction(SIGINT, nullptr, &previous);
    sigaction(SIGQUIT, nullptr, &previous_quit);
    install_signal_handlers();
    sigaction(SIGINT, nullptr, &installed);
    sigaction(SIGQUIT, nullptr, &quit);
    EXPECT_EQ(installed.sa_handler, &on_sigint);
    EXPECT_EQ(installed.sa_flags & SA_RESTART, 0) << "an interrupt must end a read of the console";
    EXPECT_EQ(quit.sa_handler, previous_quit.sa_handler);
    // Still installed after the first interrupt.
    for (int i = 0; i < 2; ++i) {
        break_requested = 0;
        raise(SIGINT);
        EXPECT_EQ(break_requested, 1);
    }
    break_requested = 0;
    sigaction(SIGINT, &previous, nullptr);
}

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
        int slot = 0;
        capture_stdout([&] {
            i2c_open_buses();
            slot = select_boot_slot();
        });
        EXPECT_EQ(slot, c.slot);
        close_board_devices();
    }
}

}  // namespace
