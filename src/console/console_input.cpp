// placeholder until the console input lands
#include "console/console_input.h"
uint8_t get_raw_char() { return 0; }
void put_char_flush(int) {}
char* read_line(char*, size_t) { return nullptr; }
int ask_yes_no(const char*) { return 0; }
bool console_input_ended() { return true; }
