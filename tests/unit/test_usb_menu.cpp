// The USB file chooser's answer rules and its listing of the stick's entries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
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
        int number = 7;
        EXPECT_EQ(parse_usb_menu_answer(c.line, &number), c.answer) << c.line;
        EXPECT_EQ(number, c.number) << c.line;
    }
}

// A stick folder with every kind of entry; the test runs inside it, as the chooser does.
class UsbEntries : public ::testing::Test {
protected:
    std::string dir_path;
    char saved_cwd[PATH_MAX];
    void SetUp() override {
        char pattern[] = "/tmp/usb_menu_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_path = pattern;
        ASSERT_NE(getcwd(saved_cwd, sizeof saved_cwd), nullptr);
        ASSERT_EQ(chdir(dir_path.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(saved_cwd), 0);
        std::filesystem::remove_all(dir_path);
    }
};

// Everything but folders is listed as "\t<n>: <name>" and found again by its number; a long
// name or one with shell characters is shown and found as it is.
TEST_F(UsbEntries, ListsAndFindsEverythingButFolders) {
    const std::string long_name = std::string(250, 'L') + ".img", odd_name = "a b'c\"$(touch pwned);`x`.img";
    for (const std::string& name : {std::string("plain.img"), long_name, odd_name}) std::ofstream(name) << "x";
    ASSERT_EQ(mkdir("folder", 0755), 0);
    ASSERT_EQ(symlink("folder", "link_to_folder"), 0);
    ASSERT_EQ(symlink("missing", "dangling"), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);

    // Each number finds its entry; the listing shows them under the same numbers.
    std::string listing;
    std::multiset<std::string> names;
    for (int number : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 1000}) {
        DIR* dir = opendir(".");
        const char* name = find_usb_entry(dir, number);
        EXPECT_EQ(name != nullptr, number >= 1 && number <= 6) << number;
        if (name) {
            names.insert(name);
            listing += "\t" + std::to_string(number) + ": " + name + "\n";
        }
        closedir(dir);
    }
    EXPECT_EQ(names,
              (std::multiset<std::string>{"plain.img", long_name, odd_name, "link_to_folder", "dangling", "fifo"}));
    DIR* dir = opendir(".");
    int count = 0;
    EXPECT_EQ(capture_stdout([&] { count = list_usb_entries(dir); }), listing);
    EXPECT_EQ(count, 6);
    closedir(dir);
}

}  // namespace
