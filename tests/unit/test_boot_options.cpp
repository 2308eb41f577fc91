// The options of the boot loader's environment: the key rules with their substring quirks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "boot/boot_options.h"
#include "hw/flash.h"
#include "records.h"
#include "support/test_board.h"

namespace {

BootOptions parse(const std::string& text, BootOptions options = {}) {
    parse_boot_parameters(text.c_str(), &options);
    return options;
}

void expect_defaults(const BootOptions& o) {
    EXPECT_FALSE(o.gdb);
    EXPECT_FALSE(o.gdbserver);
    EXPECT_FALSE(o.diagnostics_rescue);
    EXPECT_FALSE(o.diagnostics_diags);
    EXPECT_FALSE(o.shell);
    EXPECT_FALSE(o.memchk);
    EXPECT_EQ(o.gdbport, 1234);
}

TEST(BootParameters, EnvironmentWithoutKeysLeavesTheDefaults) {
    expect_defaults(parse(""));
    expect_defaults(parse(std::string(1280, ' ')));
    expect_defaults(parse(std::string(1280, '\xff')));
    expect_defaults(parse("bootdelay=3 baudrate=115200 ethaddr=00:11:22:33:44:55 "));
}

TEST(BootParameters, EachKeyTurnsItsOwnOptionOn) {
    BootOptions o = parse("gdb=on shell=on memchk=on gdbport=4000");
    EXPECT_TRUE(o.gdb);
    EXPECT_FALSE(o.gdbserver);
    EXPECT_TRUE(o.shell);
    EXPECT_TRUE(o.memchk);
    EXPECT_EQ(o.gdbport, 4000);
    EXPECT_FALSE(o.diagnostics_rescue);
    EXPECT_FALSE(o.diagnostics_diags);
}

TEST(BootParameters, OnlyAValueBeginningWithLowerCaseOnCounts) {
    EXPECT_TRUE(parse("gdb=onion").gdb);
    EXPECT_TRUE(parse("memchk=on,full").memchk);
    for (const char* value : {"ON", "On", "1", "yes", "o", "", " on", "off"}) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(parse(std::string("gdb=") + value + " ").gdb);
    }
}

TEST(BootParameters, FoundKeySwitchesOffAndMissingKeyKeepsTheValue) {
    BootOptions all_on;
    all_on.gdb = all_on.shell = all_on.memchk = all_on.diagnostics_rescue = true;
    all_on.gdbport = 99;
    BootOptions o = parse("shell=off diagnostics=none", all_on);
    EXPECT_FALSE(o.shell);
    EXPECT_FALSE(o.diagnostics_rescue);
    EXPECT_TRUE(o.gdb);
    EXPECT_TRUE(o.memchk);
    EXPECT_EQ(o.gdbport, 99);
}

TEST(BootParameters, DebugServerImpliesTheDebugger) {
    BootOptions o = parse("gdb=off gdbserver=on");
    EXPECT_TRUE(o.gdbserver);
    EXPECT_TRUE(o.gdb);
    o = parse("gdbserver=on");
    EXPECT_TRUE(o.gdb);
    // Only a key that turns the server on brings the debugger along.
    BootOptions server_on;
    server_on.gdbserver = true;
    EXPECT_FALSE(parse("gdb=off", server_on).gdb);
    o = parse("gdb=on gdbserver=off");
    EXPECT_TRUE(o.gdb);
    EXPECT_FALSE(o.gdbserver);
}

TEST(BootParameters, PortIsReadAsASignedDecimalWithoutRangeTest) {
    EXPECT_EQ(parse("gdbport=abc").gdbport, 1234);
    EXPECT_EQ(parse("gdbport= 4321").gdbport, 4321);
    EXPECT_EQ(parse("gdbport=   -7x").gdbport, -7);
    EXPECT_EQ(parse("gdbport=+99999").gdbport, 99999);
    EXPECT_EQ(parse("gdbport=").gdbport, 1234);
    EXPECT_EQ(parse("gdbport=abc", BootOptions{.gdbport = 77}).gdbport, 77);
    // Leading blanks are skipped, the blanks between settings as well.
    EXPECT_EQ(parse("gdbport=  5555 shell=on").gdbport, 5555);
}

TEST(BootParameters, DiagnosticsValueChoosesRescueOrDiags) {
    BootOptions o = parse("diagnostics=rescue");
    EXPECT_TRUE(o.diagnostics_rescue);
    EXPECT_FALSE(o.diagnostics_diags);
    o = parse("diagnostics=diags");
    EXPECT_FALSE(o.diagnostics_rescue);
    EXPECT_TRUE(o.diagnostics_diags);
    BootOptions both;
    both.diagnostics_rescue = both.diagnostics_diags = true;
    o = parse("diagnostics=none", both);
    EXPECT_FALSE(o.diagnostics_rescue);
    EXPECT_FALSE(o.diagnostics_diags);
    EXPECT_TRUE(parse("diagnostics=rescuemode").diagnostics_rescue);
    EXPECT_FALSE(parse("diagnostics=Rescue").diagnostics_rescue);
}

TEST(BootParameters, KeysMatchAnywhereAndTheFirstOccurrenceWins) {
    // Inside another setting's value.
    EXPECT_TRUE(parse("bootargs=console=ttyS0 shell=on root=/dev/ram").shell);
    EXPECT_FALSE(parse("shell=off bootargs=console=ttyS0 shell=on").shell);
    EXPECT_TRUE(parse("shell=on bootargs=shell=off").shell);
    // At the end of a longer name.
    EXPECT_TRUE(parse("xgdb=on").gdb);
    EXPECT_TRUE(parse("debugshell=on").shell);
    EXPECT_FALSE(parse("gdb=off gdb=on").gdb);
    // "gdbserver=" does not contain "gdb=", so it leaves gdb to its own key.
    EXPECT_FALSE(parse("gdbserver=off").gdb);
}

TEST(BootParameters, ValueCutOffAtTheEndOfTheTextReadsAsOff) {
    EXPECT_FALSE(parse("gdb=o").gdb);
    EXPECT_FALSE(parse("diagnostics=resc").diagnostics_rescue);
    EXPECT_EQ(parse("gdbport=").gdbport, 1234);
    EXPECT_TRUE(parse("gdb=on").gdb);
}

}  // namespace

// ---- the environment partition of the simulated board ----

namespace {

constexpr size_t ENV_PARTITION_SIZE = 64 * 1024;

// An environment partition: a checksum word, then the bytes given at their offsets, then zeros.
std::vector<uint8_t> environment(const std::vector<std::pair<size_t, std::string>>& pieces) {
    std::vector<uint8_t> bytes(ENV_PARTITION_SIZE, 0);
    bytes[0] = 0x12, bytes[1] = 0x34, bytes[2] = 0x56, bytes[3] = 0x78;
    for (const auto& [offset, text] : pieces)
        std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    return bytes;
}

BootOptions read_from(const TestBoard& board, const std::vector<uint8_t>& partition) {
    board.set_partition("ubootenv", partition);
    boot_options = BootOptions{};
    flash_open_partitions();
    read_boot_parameters();
    BootOptions read = boot_options;
    boot_options = BootOptions{};
    return read;
}

TEST(BootEnvironment, SettingsAfterTheChecksumWordAreRead) {
    TestBoard board;
    std::string settings("bootdelay=3\0gdbserver=on\0gdbport=4000\0diagnostics=diags\0", 55);
    BootOptions o = read_from(board, environment({{4, settings}}));
    EXPECT_TRUE(o.gdbserver);
    EXPECT_TRUE(o.gdb);
    EXPECT_EQ(o.gdbport, 4000);
    EXPECT_TRUE(o.diagnostics_diags);
    EXPECT_FALSE(o.shell);
}

TEST(BootEnvironment, ZerosSeparateSettingsLikeBlanks) {
    TestBoard board;
    // The port's digits stand in the next string: the zero between reads as a skipped blank.
    std::string settings("gdbport=\0" "4321\0", 14);
    EXPECT_EQ(read_from(board, environment({{4, settings}})).gdbport, 4321);
}

TEST(BootEnvironment, EmptyOrErasedEnvironmentGivesTheDefaults) {
    TestBoard board;
    expect_defaults(read_from(board, std::vector<uint8_t>(ENV_PARTITION_SIZE, 0)));
    expect_defaults(read_from(board, std::vector<uint8_t>(ENV_PARTITION_SIZE, 0xff)));
}

TEST(BootEnvironment, OnlyTheWindowOf1280BytesAfterTheChecksumIsSeen) {
    TestBoard board;
    // A key inside the checksum word, a value cut off by the window's end, a key behind it.
    BootOptions o = read_from(board, environment({{0, std::string("shell=on\0", 9)},
                                                  {1284 - 5, "gdb=on"},
                                                  {1284 + 2, "memchk=on"}}));
    EXPECT_FALSE(o.shell);
    EXPECT_FALSE(o.gdb);
    EXPECT_FALSE(o.memchk);
    // The same key one byte earlier has its whole value inside the window.
    EXPECT_TRUE(read_from(board, environment({{1284 - 6, "gdb=on"}})).gdb);
}

TEST(BootEnvironment, UnreadablePartitionLeavesTheDefaults) {
    TestBoard board;
    board.set_faults("fail ubootenv read\n");
    std::vector<uint8_t> partition = environment({{4, std::string("gdb=on\0shell=on\0", 16)}});
    BootOptions o;
    capture_stdout([&] { o = read_from(board, partition); });
    expect_defaults(o);
}

}  // namespace
