// Console input on descriptor 0: single keys, the line editor and timed yes/no questions, and the
// interrupt key that ends a wait for the console.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

// Set by the SIGINT handler (on_sigint); the menus clear it once they have acted on it.
extern volatile std::sig_atomic_t break_requested;
void on_sigint(int signal_number);
// Installs on_sigint for SIGINT.
void install_signal_handlers();
// The keyboard's quit and stop signals (SIGQUIT, SIGTSTP): ignored for the boot manager's whole
// run, back at their defaults for a program that replaces it (the shell's commands get them back
// by themselves: common/shell.h).
void ignore_keyboard_signals();
void restore_keyboard_signals();
// Waits until fd has input; false when a break (SIGINT) came first, even just before the wait.
bool wait_for_key(int fd);

// KEY_NONE: the read gave 0 bytes (end of file); KEY_FAILED: the descriptor failed (a hung-up
// or closed console). Both are end of input wherever a byte was waited for.
enum KeyResult { KEY_READ, KEY_INTERRUPTED, KEY_NONE, KEY_FAILED };

// What the console's reads have shown so far.
struct ConsoleInput {
    bool ended;          // descriptor 0 has reported end of input
    KeyResult last_key;  // why the latest get_raw_char gave what it gave (a bell or a break)
};
extern ConsoleInput console_input;

uint8_t get_raw_char();
void put_char_flush(int c);
// Returns buffer, or nullptr when no line can be had (end of input, or an interrupt).
char* read_line(char* buffer, size_t size);
int ask_yes_no(const char* question);
