// The USB file chooser's answer rules. Its listing of the stick's entries (files, links and odd
// or long names shown and used as they are, folders left out) runs on the simulated board.
#include <gtest/gtest.h>

#include "console/usb_menu.h"

namespace {

// q or Q first quits; a leading number after blanks is taken, the rest ignored; anything else
// is refused. The number is left alone unless one is taken.
TEST(UsbMenuAnswer, Rules) {
    const struct {
        const char* line;
        UsbMenuAnswer answer;
        int number;
    } cases[] = {
        {"q", USB_ANSWER_QUIT, 7},       {"Q", USB_ANSWER_QUIT, 7},     {"quit 3", USB_ANSWER_QUIT, 7},
        {"   2", USB_ANSWER_NUMBER, 2},  {"2abc", USB_ANSWER_NUMBER, 2}, {"-4", USB_ANSWER_NUMBER, -4},
        {"0", USB_ANSWER_NUMBER, 0},     {"abc", USB_ANSWER_INVALID, 7}, {"", USB_ANSWER_INVALID, 7},
        {" q", USB_ANSWER_INVALID, 7},
    };
    for (const auto& c : cases) {
        int number = 7;
        EXPECT_EQ(parse_usb_menu_answer(c.line, &number), c.answer) << c.line;
        EXPECT_EQ(number, c.number) << c.line;
    }
}

}  // namespace
