// The options of the boot loader's environment: the key rules with their substring quirks, and
// the window of the environment partition that is read.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "hw/flash.h"
#include "options/boot_options.h"
#include "support/test_board.h"

using namespace std::string_literals;

namespace {

// The options in one line, so that a whole result compares at once: "gdb shell port=1234".
std::string shown(const BootOptions& o) {
    std::string text;
    for (auto [on, name] : {std::pair{o.gdb, "gdb "},
                            {o.gdbserver, "gdbserver "},
                            {o.diagnostics_rescue, "rescue "},
                            {o.diagnostics_diags, "diags "},
                            {o.shell, "shell "},
                            {o.memchk, "memchk "}})
        if (on) text += name;
    return text + "port=" + std::to_string(o.gdbport);
}

TEST(BootParameters, KeyRulesWithTheirSubstringQuirks) {
    const struct {
        std::string text, expected;
        BootOptions start = {};
    } cases[] = {
        {"", "port=1234"},
        {"bootdelay=3 baudrate=115200 ethaddr=00:11:22:33:44:55 ", "port=1234"},
        {"gdb=on shell=on memchk=on gdbport=4000", "gdb shell memchk port=4000"},
        // Only a value beginning with lower-case "on" counts; a value cut off by the end of
        // the text reads as off.
        {"gdb=onion", "gdb port=1234"},
        {"gdb=ON ", "port=1234"},
        {"gdb=yes ", "port=1234"},
        {"gdb= on ", "port=1234"},
        {"gdb=o", "port=1234"},
        // A key found switches off; a key missing keeps the value.
        {"shell=off diagnostics=none",
         "gdb memchk port=99",
         {.gdb = true, .diagnostics_rescue = true, .shell = true, .memchk = true, .gdbport = 99}},
        // Only a key that turns the server on brings the debugger along.
        {"gdb=off gdbserver=on", "gdb gdbserver port=1234"},
        {"gdb=off", "gdbserver port=1234", {.gdbserver = true}},
        {"gdb=on gdbserver=off", "gdb port=1234"},
        // The port: a signed decimal after blanks, without range test; no digits keep it.
        {"gdbport=   -7x", "port=-7"},
        {"gdbport=+99999", "port=99999"},
        {"gdbport=99999999999", "port=2147483647"},
        {"gdbport=-99999999999", "port=-2147483648"},
        {"gdbport=", "port=1234"},
        {"gdbport=abc", "port=77", {.gdbport = 77}},
        // Diagnostics: rescue, diags, or anything else for neither.
        {"diagnostics=rescuemode", "rescue port=1234"},
        {"diagnostics=diags", "diags port=1234"},
        {"diagnostics=none", "port=1234", {.diagnostics_rescue = true, .diagnostics_diags = true}},
        {"diagnostics=Rescue", "port=1234"},
        // Keys match anywhere, inside another value or at the end of a longer name, and the
        // first occurrence wins.
        {"shell=on bootargs=shell=off", "shell port=1234"},
        {"shell=off bootargs=console=ttyS0 shell=on", "port=1234"},
        {"xgdb=on", "gdb port=1234"},
        {"gdbserver=off", "port=1234"},  // "gdbserver=" does not contain "gdb="
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        BootOptions options = c.start;
        parse_boot_parameters(c.text.c_str(), &options);
        EXPECT_EQ(shown(options), c.expected);
    }
}

// The environment partition: a checksum word, then zero-terminated settings. Only the 1280
// bytes after the checksum are read, zeros separating settings like blanks.
TEST(BootEnvironment, SettingsAreReadFromTheWindowAfterTheChecksum) {
    using Pieces = std::vector<std::pair<size_t, std::string>>;
    const struct {
        Pieces pieces;
        std::string expected, faults = "";
    } cases[] = {
        {{{4, "bootdelay=3\0gdbserver=on\0gdbport=4000\0diagnostics=diags\0"s}}, "gdb gdbserver diags port=4000"},
        {{{0, std::string(64 * 1024, '\xff')}}, "port=1234"},
        // A key inside the checksum word, a value cut off by the window's end, a key behind it;
        // then the same key one byte earlier, its whole value inside the window.
        {{{0, "shell=on\0"s}, {1284 - 5, "gdb=on"}, {1284 + 2, "memchk=on"}}, "port=1234"},
        {{{1284 - 6, "gdb=on"}}, "gdb port=1234"},
        {{{4, "gdb=on\0shell=on\0"s}}, "port=1234", "fail ubootenv read\n"},
    };
    TestBoard board;
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        std::vector<uint8_t> partition(64 * 1024, 0);
        for (const auto& [offset, text] : c.pieces)
            std::copy(text.begin(), text.end(), partition.begin() + long(offset));
        board.set_partition("ubootenv", partition);
        board.set_faults(c.faults);
        boot_options = BootOptions{};
        capture_stdout([] {
            flash_open_partitions();
            read_boot_parameters();
        });
        EXPECT_EQ(shown(boot_options), c.expected);
        close_board_devices();
    }
    boot_options = BootOptions{};
}

}  // namespace
