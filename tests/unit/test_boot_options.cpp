// The two environments read at boot: the options of the boot loader's environment (the key rules
// with their substring quirks, and the window of the environment partition that is read), and
// the application's environment file, read into the process environment before the launch.
// Faults tried (src/options/boot_options.cpp, src/boot/app_start.cpp) and the test that caught
// each:
//   values compared without case, a debug server not bringing the debugger along, a key found
//   only ever switching on, the port cast instead of saturated ->
//   BootParameters.KeyRulesWithTheirSubstringQuirks;
//   the window read from offset 0, the window's text not ended by a zero (a read past it under
//   ASan), flash_read going on to read after the partition refused its query ->
//   BootEnvironment.SettingsAreReadFromTheWindowAfterTheChecksum;
//   the value of a lone last word not emptied, pairs not overwriting what was set before ->
//   EnvSetup.PairRules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "boot/app_start.h"
#include "hw/flash.h"
#include "hw/start_count.h"
#include "options/boot_options.h"
#include "support/test_board.h"

using namespace std::string_literals;

namespace {

// The options in one line, so that a whole result compares at once: "gdb shell port=1234".
std::string shown(const BootOptions& o) {
    return std::string(o.gdb ? "gdb " : "") + (o.gdbserver ? "gdbserver " : "") +
           (o.diagnostics_rescue ? "rescue " : "") + (o.diagnostics_diags ? "diags " : "") + (o.shell ? "shell " : "") +
           (o.memchk ? "memchk " : "") + "port=" + std::to_string(o.gdbport) +
           (o.start_limit ? " limit=" + std::to_string(o.start_limit) : "");
}

TEST(BootParameters, KeyRulesWithTheirSubstringQuirks) {
    const BootOptions all_on = {true, true, true, true, true, true, 99};
    const struct {
        std::string text, expected;
        BootOptions start = {};
    } cases[] = {
        {"bootdelay=3 baudrate=115200 ethaddr=00:11:22:33:44:55 ", "port=1234"},
        {"gdb=on shell=on memchk=on gdbport=4000", "gdb shell memchk port=4000"},
        // Only a value beginning with lower-case "on" counts; a value cut off by the end of
        // the text reads as off.
        {"gdb=onion", "gdb port=1234"},
        {"gdb=ON ", "port=1234"},
        {"gdb= on ", "port=1234"},
        {"gdb=o", "port=1234"},
        // A key found switches off; a key missing keeps the value ("gdbserver=" holds no "gdb=").
        {"shell=off diagnostics=none gdbserver=off", "gdb memchk port=99", all_on},
        // Only a key that turns the server on brings the debugger along.
        {"gdb=off gdbserver=on", "gdb gdbserver port=1234"},
        {"gdb=off", "gdbserver port=1234", {.gdbserver = true}},
        {"gdb=on gdbserver=off", "gdb port=1234"},
        // The port: a signed decimal after blanks, without range test; no digits keep it.
        {"gdbport=   -7x", "port=-7"},
        {"gdbport=+99999", "port=99999"},
        {"gdbport=99999999999", "port=2147483647"},
        {"gdbport=-99999999999", "port=-2147483648"},
        {"gdbport=abc", "port=77", {.gdbport = 77}},
        // Diagnostics: rescue, diags, or anything else for neither.
        {"diagnostics=rescuemode", "rescue port=1234"},
        {"diagnostics=diags", "diags port=1234"},
        {"diagnostics=Rescue", "port=1234"},
        // Keys match anywhere, inside another value or at the end of a longer name, and the
        // first occurrence wins.
        {"shell=on bootargs=shell=off", "shell port=1234"},
        {"xgdb=on", "gdb port=1234"},
        // The start limit is a whole setting of one digit 1..9: never inside another setting or
        // value, nor another key inside it; anything else leaves it off.
        {"startlimit=3", "port=1234 limit=3"},
        {"shell=on startlimit=9 gdb=on", "gdb shell port=1234 limit=9"},
        {"xstartlimit=3 bootargs=startlimit=4", "port=1234"},
        {"startlimit=0 ", "port=1234"},
        {"startlimit=10", "port=1234"},
        {"startlimit=3x", "port=1234"},
        {"startlimit= 3", "port=1234"},
        {"startlimit=shell=on", "shell port=1234"},
    };
    for (BootOptions options; const auto& c : cases) {
        options = c.start;
        parse_boot_parameters(c.text.c_str(), &options);
        EXPECT_EQ(shown(options), c.expected) << c.text.substr(0, 60);
    }
}

// The environment partition: a checksum word, then zero-terminated settings. Only the 1280
// bytes after the checksum are read, zeros separating settings like blanks.
TEST(BootEnvironment, SettingsAreReadFromTheWindowAfterTheChecksum) {
    const struct {
        std::vector<std::pair<size_t, std::string>> pieces;
        std::string expected, fault = "";
    } cases[] = {
        {{{4, "bootdelay=3\0gdbserver=on\0gdbport=4000\0diagnostics=diags\0"s}}, "gdb gdbserver diags port=4000"},
        {{{0, std::string(64 * 1024, '\xff')}}, "port=1234"},
        // A key inside the checksum word, a value cut off by the window's end, a key behind it;
        // then the same key one byte earlier, its whole value inside the window.
        {{{0, "shell=on\0"s}, {1284 - 5, "gdb=on"}, {1284 + 2, "memchk=on"}}, "port=1234"},
        {{{1284 - 6, "gdb=on"}}, "gdb port=1234"},
        // The first setting, and the last one before the erased rest of the partition.
        {{{4, "startlimit=2\0"s}}, "port=1234 limit=2"},
        {{{4, "gdb=on\0startlimit=5\0\0"s}, {24, std::string(100, '\xff')}}, "gdb port=1234 limit=5"},
        // An environment that cannot be read (its partition refuses the query that comes first)
        // leaves every option at its default.
        {{{4, "gdb=on\0shell=on\0gdbport=99\0"s}}, "port=1234", "fail ubootenv getinfo\n"},
    };
    TestBoard board;
    for (const auto& c : cases) {
        std::vector<uint8_t> partition(64 * 1024, 0);
        for (const auto& [offset, text] : c.pieces) std::copy(text.begin(), text.end(), partition.begin() + offset);
        board.set_partition("ubootenv", partition);
        write_binary_file(board.path("faults"), std::vector<uint8_t>(c.fault.begin(), c.fault.end()));
        boot_options = BootOptions{};
        capture_stdout([] { flash_open_partitions(), read_boot_parameters(); });
        EXPECT_EQ(shown(boot_options), c.expected) << "case " << &c - cases;
        close_board_devices();
    }
    boot_options = BootOptions{};
    start_limit = 0;
}

// Pairs are read two words at a time whatever the layout; a lone last word gets an empty value;
// later pairs overwrite earlier ones and variables set before. A word is cut after 511
// characters and its remainder is read as the next word, shifting the pairs that follow.
TEST(EnvSetup, PairRules) {
    const std::string long_value(511, 'v'), long_name(511, 'N');
    const struct {
        std::string text;
        std::vector<std::pair<std::string, std::string>> expected;  // "<unset>": no such variable
    } cases[] = {
        {"BM_A\n1\tBM_B\n\n   2", {{"BM_A", "1"}, {"BM_B", "2"}}},
        {"\tBM_A   1 BM_B 2\n\n", {{"BM_A", "1"}, {"BM_B", "2"}}},
        {"BM_A 1 BM_B", {{"BM_A", "1"}, {"BM_B", ""}}},
        {"BM_A first BM_C replaced BM_A second", {{"BM_A", "second"}, {"BM_C", "replaced"}}},
        {" \n\t\n", {{"BM_A", "<unset>"}, {"BM_C", "from-before"}}},
        {"BM_LONG " + long_value + "tail BM_A 1",
         {{"BM_LONG", long_value}, {"tail", "BM_A"}, {"1", ""}, {"BM_A", "<unset>"}}},
        {long_name + "X value", {{long_name, "X"}, {"value", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        setenv("BM_C", "from-before", 1);
        FILE* file = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
        apply_env_setup(file);
        std::fclose(file);
        for (const auto& [name, value] : c.expected) {
            const char* found = std::getenv(name.c_str());
            EXPECT_EQ(found ? found : "<unset>", value) << name;
            unsetenv(name.c_str());
        }
        unsetenv("BM_C");
    }
}

}  // namespace
