// The boot spine's own operations: the interrupt handler and the slot choice from the EEPROM.
#include <gtest/gtest.h>

#include <csignal>

#include "boot/boot_sequence.h"
#include "hw/eeprom.h"
#include "support/test_board.h"

namespace {

TEST(InterruptHandler, IsInstalledWithoutRestartAndOnlySetsTheFlag) {
    struct sigaction previous = {};
    sigaction(SIGINT, nullptr, &previous);
    struct sigaction previous_quit = {};
    sigaction(SIGQUIT, nullptr, &previous_quit);

    install_signal_handlers();
    struct sigaction installed = {};
    sigaction(SIGINT, nullptr, &installed);
    EXPECT_EQ(installed.sa_handler, &on_sigint);
    EXPECT_EQ(installed.sa_flags & (SA_RESTART | SA_SIGINFO | SA_RESETHAND), 0);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        EXPECT_EQ(sigismember(&installed.sa_mask, signal_number), 0) << signal_number;
    struct sigaction quit = {};
    sigaction(SIGQUIT, nullptr, &quit);
    EXPECT_EQ(quit.sa_handler, previous_quit.sa_handler);

    break_requested = 0;
    raise(SIGINT);
    EXPECT_EQ(break_requested, 1);
    // Still installed after the first interrupt.
    break_requested = 0;
    raise(SIGINT);
    EXPECT_EQ(break_requested, 1);

    break_requested = 0;
    sigaction(SIGINT, &previous, nullptr);
}

}  // namespace

namespace {

int slot_for_cell(uint8_t cell) {
    TestBoard board;
    board.set_eeprom(EEPROM_BOOT_SLOT, cell);
    i2c_open_buses();
    return select_boot_slot();
}

TEST(BootSlotChoice, OnlyCellValueTwoChoosesSlotTwo) {
    EXPECT_EQ(slot_for_cell(1), 1);
    EXPECT_EQ(slot_for_cell(2), 2);
    for (uint8_t other : {0x00, 0x03, 0x12, 0xff}) EXPECT_EQ(slot_for_cell(other), 1) << int(other);
}

TEST(BootSlotChoice, UnreadableEepromChoosesSlotOne) {
    TestBoard board;
    board.set_eeprom(EEPROM_BOOT_SLOT, 2);
    board.set_faults("missing /dev/i2c-0\n");
    int slot = 0;
    capture_stdout([&] {
        i2c_open_buses();
        slot = select_boot_slot();
    });
    EXPECT_EQ(slot, 1);
}

}  // namespace
