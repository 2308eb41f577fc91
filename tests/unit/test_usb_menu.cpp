// The USB file chooser's answer rules and its listing of the stick's entries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "console/usb_menu.h"

namespace {

TEST(UsbMenuAnswer, QuitsOnAnyLineBeginningWithQ) {
    int number = 0;
    EXPECT_EQ(parse_usb_menu_answer("q", &number), USB_ANSWER_QUIT);
    EXPECT_EQ(parse_usb_menu_answer("Q", &number), USB_ANSWER_QUIT);
    EXPECT_EQ(parse_usb_menu_answer("quit 3", &number), USB_ANSWER_QUIT);
    EXPECT_EQ(number, 0);
}

TEST(UsbMenuAnswer, TakesLeadingNumberAfterBlanksIgnoringTheRest) {
    int number = 0;
    EXPECT_EQ(parse_usb_menu_answer("   2", &number), USB_ANSWER_NUMBER);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(parse_usb_menu_answer("2abc", &number), USB_ANSWER_NUMBER);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(parse_usb_menu_answer("-4", &number), USB_ANSWER_NUMBER);
    EXPECT_EQ(number, -4);
    EXPECT_EQ(parse_usb_menu_answer("0", &number), USB_ANSWER_NUMBER);
    EXPECT_EQ(number, 0);
}

TEST(UsbMenuAnswer, RefusesLinesWithoutLeadingNumber) {
    int number = 7;
    EXPECT_EQ(parse_usb_menu_answer("abc", &number), USB_ANSWER_INVALID);
    EXPECT_EQ(parse_usb_menu_answer("", &number), USB_ANSWER_INVALID);
    EXPECT_EQ(parse_usb_menu_answer(" q", &number), USB_ANSWER_INVALID);
    EXPECT_EQ(number, 7);
}

// A stick directory with every kind of entry; the test runs inside it, as the chooser does.
class UsbEntries : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/usb_menu_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_path = pattern;
        ASSERT_NE(getcwd(saved_cwd, sizeof saved_cwd), nullptr);
        ASSERT_EQ(chdir(dir_path.c_str()), 0);
        write_file("plain.img");
        write_file(long_name);
        write_file(odd_name);
        ASSERT_EQ(mkdir("folder", 0755), 0);
        ASSERT_EQ(symlink("folder", "link_to_folder"), 0);
        ASSERT_EQ(symlink("missing", "dangling"), 0);
        ASSERT_EQ(mkfifo("fifo", 0644), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(saved_cwd), 0);
        std::filesystem::remove_all(dir_path);
    }
    static void write_file(const std::string& name) { std::ofstream(name) << "x"; }

    // The names listed, in their order, read back from the printed lines.
    std::vector<std::string> listed_names() {
        DIR* dir = opendir(".");
        testing::internal::CaptureStdout();
        int count = list_usb_entries(dir);
        std::string printed = testing::internal::GetCapturedStdout();
        closedir(dir);
        std::vector<std::string> names;
        std::istringstream lines(printed);
        std::string line;
        while (std::getline(lines, line)) {
            std::string prefix = "\t" + std::to_string(names.size() + 1) + ": ";
            EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
            names.push_back(line.substr(prefix.size()));
        }
        EXPECT_EQ(count, static_cast<int>(names.size()));
        return names;
    }

    std::string dir_path;
    char saved_cwd[PATH_MAX];
    const std::string long_name = std::string(250, 'L') + ".img";
    const std::string odd_name = "a b'c\"$(touch pwned);`x`.img";
};

TEST_F(UsbEntries, ListsEverythingButDirectories) {
    std::vector<std::string> names = listed_names();
    std::set<std::string> listed(names.begin(), names.end());
    std::set<std::string> expected = {"plain.img", long_name, odd_name, "link_to_folder", "dangling", "fifo"};
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(names.size(), expected.size());
}

TEST_F(UsbEntries, FindsEntriesByTheListedNumbers) {
    std::vector<std::string> names = listed_names();
    for (size_t i = 0; i < names.size(); ++i) {
        DIR* dir = opendir(".");
        const char* found = find_usb_entry(dir, static_cast<int>(i + 1));
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(std::string(found), names[i]);
        closedir(dir);
    }
}

TEST_F(UsbEntries, NumbersOutsideTheListFindNothing) {
    for (int number : {0, -1, 7, 1000}) {
        DIR* dir = opendir(".");
        EXPECT_EQ(find_usb_entry(dir, number), nullptr) << number;
        closedir(dir);
    }
}

}  // namespace
