// The rescue menu when the console has no more input to give: the one case of the menu that
// reaches neither a shell command nor a reboot, so it runs here rather than on the board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "rescue/rescue_menu.h"
#include "support/test_board.h"

using namespace std::string_literals;

namespace {

// On an empty console the menu leaves at once as with E (GO_ON, 0), after one prompt. The end
// of input is remembered for the rest of the process, so the menu runs in a child.
int menu_on_empty_input() {
    TestBoard board;
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    int result = -1;
    std::string output = capture_stdout([&] { result = int(rescue_menu()); });
    size_t prompt = output.find("Option? : ");
    fprintf(stderr, "result %d, one prompt %d, left %d\n", result, prompt == output.rfind("Option? : "),
            output.substr(prompt + 10) == "\0\nNo console input: leaving rescue mode.\n"s);
    return 0;
}

TEST(RescueMenuDeathTest, LeavesAsWithExitWhenTheConsoleInputHasEnded) {
    EXPECT_EXIT(_exit(menu_on_empty_input()), ::testing::ExitedWithCode(0), "result 0, one prompt 1, left 1");
}

}  // namespace
