// The rescue menu's console for scenario tests: a board that opens the menu at start, a
// console that can carry an XMODEM transfer, and the operator's steps of a serial download.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/console_driver.h"

namespace rescue {

// The program's one-second pauses pass twenty times faster.
extern const std::vector<std::string> RESCUE_FAST;

// Reads what the console shows for a while, without waiting for anything in particular. A key
// sent right after a prompt may come before the program has turned the echo off for its one-key
// read; a short watch first lets the console show exactly what the program echoes.
void watch(ConsoleSession& session, double seconds);

// A fresh board whose environment asks for the rescue menu at start.
std::string rescue_board();

// Starts `bmsim boot DIR ARGS...` with its console on a socket instead of a terminal. bmsim then
// relays bytes unchanged both ways (on a terminal it takes Ctrl-] as its stop key, which any
// binary transfer holds sooner or later). expect, send_keys, wait_exit and stop_session work on
// the result as on a session of start_boot.
ConsoleSession start_boot_on_socket(const std::string& dir, const std::vector<std::string>& args);

// Runs lrzsz's XMODEM-1K sender (`sx -k FILE`) against the console until it ends; everything
// the console shows meanwhile is kept in session.output. The sender talks through a socket
// pair that the test relays, so its terminal settings never reach the console. Returns sx's
// exit status.
int send_with_sx(ConsoleSession& session, const std::string& file);

// The operator's side of a serial download: X at the menu prompt, Enter after the 115200 prompt,
// the file sent with sx, Enter after the 9600 prompt. False when a step did not come.
bool download_package(ConsoleSession& session, const std::string& file);

// Presses key once the program has reached the wait after prompt: the port is flushed right
// after the prompt, so a key sent too early is lost; a reminder means it was, and it is sent again.
bool press_enter_after(ConsoleSession& session, const std::string& prompt, const std::string& key,
                       const std::string& reminder, const std::string& next);

std::vector<uint8_t> pattern_bytes(size_t size, uint8_t seed);
std::vector<uint8_t> join_images(const std::vector<std::vector<uint8_t>>& images);
std::vector<uint8_t> flash_image(uint32_t type, size_t payload_size, uint8_t seed, uint32_t id = 0x01020304);
bool starts_with(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix);
bool all_erased(const std::vector<uint8_t>& bytes);
size_t count_of(const std::string& text, const std::string& part);

}  // namespace rescue
