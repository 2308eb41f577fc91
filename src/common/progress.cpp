// The percent display of long writes.
#include "common/progress.h"

#include <cstdio>

uint32_t percent_of(uint64_t done, uint64_t total) { return total == 0 ? 100 : uint32_t(done * 100 / total); }

bool progress_shown = true;

void show_percent(uint64_t done, uint64_t total) {
    if (progress_shown) printf("\b\b\b\b%3.3d%c", int(percent_of(done, total)), '%');
}

void show_percent_done() {
    if (progress_shown)
        printf("\b\b\b\b100%c\n", '%');
    else
        putchar('\n');
}
