// The rescue menu when the console has no more input to give: the one case of the menu that
// reaches neither a shell command nor a reboot, so it runs here rather than on the board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/rescue_menu.h"
#include "support/test_board.h"

namespace {

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The end of input is remembered for the rest of the process, so the menu runs in a child.
// What the menu does on an empty console: 0 when it left at once as with E, after one prompt.
int menu_on_empty_input() {
    TestBoard board;
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    int result = 0;
    std::string output = capture_stdout([&] { result = rescue_menu(); });
    size_t prompts = count_of(output, "Option? : ");
    bool left = output.find("Option? : " + std::string(1, '\0') + "\nNo console input: leaving rescue mode.\n") !=
                std::string::npos;
    fprintf(stderr, "result %d, prompts %zu, left %d\n", result, prompts, left);
    return result == 1 && prompts == 1 && left ? 0 : 1;
}

// The end of input is remembered for the rest of the process, so the menu runs in a child.
[[noreturn]] void run_menu_on_empty_input() { _exit(menu_on_empty_input()); }

TEST(RescueMenuDeathTest, LeavesAsWithExitWhenTheConsoleInputHasEnded) {
    EXPECT_EXIT(run_menu_on_empty_input(), ::testing::ExitedWithCode(0), "result 1, prompts 1, left 1");
}

}  // namespace
