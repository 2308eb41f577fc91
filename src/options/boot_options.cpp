// The boot manager's run-time options, read from the boot loader's environment partition.
#include "options/boot_options.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "hw/flash.h"
#include "hw/start_count.h"

BootOptions boot_options;

namespace {

// The text right after the first occurrence of key anywhere in the environment, or nullptr.
// A plain substring search, as the boot loader's settings were always looked up: a key also
// matches inside another setting's value or at the end of a longer name.
const char* find_value(const char* text, const char* key) {
    const char* found = strstr(text, key);
    return found ? found + strlen(key) : nullptr;
}

bool value_begins_with(const char* value, const char* word) { return strncmp(value, word, strlen(word)) == 0; }

// A found key always sets its flag, to on or off; a missing key leaves the flag as it was.
void read_switch(const char* text, const char* key, const char* on_word, bool* field) {
    const char* value = find_value(text, key);
    if (value) *field = value_begins_with(value, on_word);
}

// startlimit= is newer than the other keys and is looked up as a whole setting: at the start of
// the text or after a blank, so that it never matches inside another setting, nor they inside it.
// One digit 1..9 and the setting's end; any other value leaves the rollback off.
uint8_t read_start_limit(const char* text) {
    const char key[] = "startlimit=";
    for (const char* found = strstr(text, key); found; found = strstr(found + 1, key)) {
        if (found != text && found[-1] != ' ') continue;
        const char* value = found + strlen(key);
        bool one_digit = value[0] >= '1' && value[0] <= '0' + START_LIMIT_MAX && (value[1] == ' ' || value[1] == '\0');
        return one_digit ? uint8_t(value[0] - '0') : 0;
    }
    return 0;
}

}  // namespace

void parse_boot_parameters(const char* text, BootOptions* options) {
    read_switch(text, "gdb=", "on", &options->gdb);
    if (const char* value = find_value(text, "gdbserver=")) {
        options->gdbserver = value_begins_with(value, "on");
        if (options->gdbserver) options->gdb = true;  // a debug server is a debugger launch too
    }
    if (const char* value = find_value(text, "gdbport=")) {
        // Read as %d would (blanks, a sign, digits), but a number beyond the int range, which
        // %d leaves undefined, saturates as the switch's 32-bit C library does.
        char* end = nullptr;
        long long port = strtoll(value, &end, 10);
        if (end != value) options->gdbport = int(std::clamp<long long>(port, INT_MIN, INT_MAX));
    }
    read_switch(text, "shell=", "on", &options->shell);
    read_switch(text, "memchk=", "on", &options->memchk);
    read_switch(text, "diagnostics=", "rescue", &options->diagnostics_rescue);
    read_switch(text, "diagnostics=", "diags", &options->diagnostics_diags);
    options->start_limit = read_start_limit(text);
}

void read_boot_parameters() {
    char area[BOOT_ENV_LENGTH + 1] = {};
    if (flash_read(area, flash_partitions.ubootenv, BOOT_ENV_OFFSET, BOOT_ENV_LENGTH) != 0) return;
    // The settings are zero-terminated strings; with blanks between them the whole
    // environment becomes one text that a substring search can walk.
    for (uint32_t i = 0; i < BOOT_ENV_LENGTH; ++i)
        if (area[i] == '\0') area[i] = ' ';
    area[BOOT_ENV_LENGTH] = '\0';
    parse_boot_parameters(area, &boot_options);
    start_limit = boot_options.start_limit;
}
