// Console input on descriptor 0: single keys, the line editor and timed yes/no questions.
#pragma once
#include <cstddef>
#include <cstdint>

uint8_t get_raw_char();
void put_char_flush(int c);
// Returns buffer, or nullptr when no line can be had (end of input, or an interrupt).
char* read_line(char* buffer, size_t size);
int ask_yes_no(const char* question);
// True once descriptor 0 has reported end of input.
bool console_input_ended();
