// The USB file chooser's answer rules and its listing of the stick's entries.
// Faults tried (src/rescue/usb_media.cpp) and the test that caught each:
//   blanks skipped before q -> UsbMenuAnswer.Rules;
//   stat instead of lstat (a link to a folder left out), entries found or listed numbered from
//   0 -> UsbEntries.ListsAndFindsEverythingButFolders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "rescue/usb_menu.h"
#include "support/test_board.h"

namespace {

// q or Q first quits; a leading number after blanks is taken, the rest ignored; anything else
// is refused. The number is left alone unless one is taken.
TEST(UsbMenuAnswer, Rules) {
    const struct {
        const char* line;
        UsbMenuAnswer answer;
        int number;
    } cases[] = {
        {"q", USB_ANSWER_QUIT, 7},      {"Q", USB_ANSWER_QUIT, 7},      {"quit 3", USB_ANSWER_QUIT, 7},
        {"   2", USB_ANSWER_NUMBER, 2}, {"2abc", USB_ANSWER_NUMBER, 2}, {"-4", USB_ANSWER_NUMBER, -4},
        {"0", USB_ANSWER_NUMBER, 0},    {"abc", USB_ANSWER_INVALID, 7}, {"", USB_ANSWER_INVALID, 7},
        {" q", USB_ANSWER_INVALID, 7},
    };
    for (const auto& c : cases) {
        int number = 7;  // the list's elements are evaluated in order
        EXPECT_EQ((std::pair{parse_usb_menu_answer(c.line, &number), number}), std::pair(c.answer, c.number)) << c.line;
    }
}

// Everything but folders is offered (a link to a folder, a dangling link and a fifo as well),
// listed as "\t<n>: <name>" and found again by the same number. The chooser runs inside the
// stick's folder, and so does the test. Odd and long names are covered on the simulated board.
TEST(UsbEntries, ListsAndFindsEverythingButFolders) {
    char stick[] = "/tmp/usb_menu_XXXXXX";
    ASSERT_NE(mkdtemp(stick), nullptr);
    const std::filesystem::path saved_cwd = std::filesystem::current_path();
    std::filesystem::current_path(stick);
    std::ofstream("plain.img") << "x";
    EXPECT_TRUE(mkdir("folder", 0755) == 0 && symlink("folder", "link_to_folder") == 0 &&
                symlink("missing", "dangling") == 0 && mkfifo("fifo", 0644) == 0);
    std::string listing;
    std::multiset<std::string> names;
    for (int number : {-1, 0, 1, 2, 3, 4, 5, 1000}) {
        DIR* dir = opendir(".");
        const char* name = find_usb_entry(dir, number);
        EXPECT_EQ(name != nullptr, number >= 1 && number <= 4) << number;
        if (name) names.insert(name), listing += "\t" + std::to_string(number) + ": " + name + "\n";
        closedir(dir);
    }
    EXPECT_EQ(names, (std::multiset<std::string>{"plain.img", "link_to_folder", "dangling", "fifo"}));
    DIR* dir = opendir(".");
    int count = 0;
    EXPECT_EQ(capture_stdout([&] { count = list_usb_entries(dir); }), listing);
    EXPECT_EQ(count, 4);
    closedir(dir);
    std::filesystem::current_path(saved_cwd);
    std::filesystem::remove_all(stick);
}

}  // namespace
