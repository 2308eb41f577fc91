// The boot spine: signals, slot choice and reboot.
#pragma once
#include <csignal>
#include <cstdint>

extern volatile std::sig_atomic_t break_requested;
extern uint8_t usb_boot_enabled;
extern uint8_t fallback_attempt;

void install_signal_handlers();
void on_sigint(int signal_number);
int select_boot_slot();
[[noreturn]] void reboot_system();
