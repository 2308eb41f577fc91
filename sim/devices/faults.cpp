// The faults file, read and split into lines once per change of the file (watch.cpp tells), so
// that it may still change while the program runs.
#include "emulator.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace sim_devices {

namespace {

constexpr int MAX_WORDS = 5;
constexpr int MAX_LINES = 8192;
struct FaultLine {
    const char* words[MAX_WORDS];
    int word_count;
};

// What the file held when it was last read; the lines point into the text.
struct Faults {
    bool current;
    char text[16384];
    FaultLine lines[MAX_LINES];
    int line_count;
};
Faults faults;

void read_faults() {
    int saved_errno = errno;
    char path[PATH_MAX + 32];
    board_path(path, sizeof path, "faults");
    size_t length = read_whole_file(path, faults.text, sizeof faults.text - 1);
    faults.text[length] = '\0';
    faults.line_count = 0;
    char* save_line = nullptr;
    for (char* line = strtok_r(faults.text, "\n", &save_line); line && faults.line_count < MAX_LINES;
         line = strtok_r(nullptr, "\n", &save_line)) {
        FaultLine& parsed = faults.lines[faults.line_count++];
        parsed = FaultLine{};
        char* save_word = nullptr;
        for (char* word = strtok_r(line, " \t\r", &save_word); word && parsed.word_count < MAX_WORDS;
             word = strtok_r(nullptr, " \t\r", &save_word))
            parsed.words[parsed.word_count++] = word;
    }
    faults.current = true;
    errno = saved_errno;
}

}  // namespace

void forget_faults() { faults.current = false; }

bool fault_listed(const char* w0, const char* w1, const char* w2, unsigned count) {
    notice_board_changes();
    if (!faults.current) read_faults();
    const char* wanted[3] = {w0, w1, w2};
    int wanted_count = w2 ? 3 : 2;
    for (int l = 0; l < faults.line_count; ++l) {
        const FaultLine& line = faults.lines[l];
        if (line.word_count < wanted_count || line.word_count > wanted_count + 1 || line.words[0][0] == '#') continue;
        bool same = true;
        for (int i = 0; i < wanted_count; ++i) same = same && strcmp(line.words[i], wanted[i]) == 0;
        if (!same) continue;
        if (line.word_count == wanted_count || strtoul(line.words[wanted_count], nullptr, 10) == count) return true;
    }
    return false;
}

bool power_cut_listed(const char* fault, unsigned count) {
#if BMSIM_PRELOADED
    return fault_listed("power-cut", fault, nullptr, count);
#else
    (void)fault;
    (void)count;
    return false;
#endif
}

}  // namespace sim_devices
