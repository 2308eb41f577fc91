// The percent display of long writes. Faults tried and the test that caught them:
//   - the percent computed as done * 100 / total in 32 bits: Percent.CountsClimbPast42MB
#include <gtest/gtest.h>

#include "common/progress.h"
#include "support/test_board.h"

namespace {

// A 43 MB slot file written in 64 KiB pieces: done × 100 passes 2^32 half-way, and the count
// must still climb steadily to 100.
TEST(Percent, CountsClimbPast42MB) {
    const uint64_t total = 43 * 1024 * 1024;
    uint32_t previous = 0;
    for (uint64_t done = 65536; done <= total; done += 65536) {
        uint32_t percent = percent_of(done, total);
        EXPECT_GE(percent, previous) << done;
        EXPECT_EQ(percent, uint32_t(done * 100 / total)) << done;
        previous = percent;
    }
    EXPECT_EQ(previous, 100u);
    EXPECT_EQ(capture_stdout([] {
                  show_percent(1, 3);
                  show_percent_done();
              }),
              "\b\b\b\b033%\b\b\b\b100%\n");
}

}  // namespace
