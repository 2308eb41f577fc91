// bmsim, the simulated board's front end: its board commands, and `bmsim boot` with its
// sandbox, console, stubs, time-out, power cycles and log. The sandbox's own tests boot small
// busybox scripts in place of the program (--program) to look at the switch from inside.
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "scenario_board.h"

namespace fs = std::filesystem;

namespace {

using BmsimCommands = Scenario;
using BmsimSandbox = Scenario;
using BmsimBoot = Scenario;

// The options of `bmsim boot` that boot a busybox script in place of the program.
std::vector<std::string> boot_script(const std::string& board, const std::string& body,
                                     const std::vector<std::string>& options = {"--timeout", "30"}) {
    std::string path = board + "/program.sh";
    write_text(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return with({"--program", path}, options);
}

TEST_F(BmsimCommands, NewMakesAnErasedBoardRenewsAnOldOneAndRefusesOtherFolders) {
    EXPECT_EQ(read_binary_file(board + "/eeprom.bin").size(), 65536u);
    EXPECT_TRUE(all_erased(read_binary_file(board + "/eeprom.bin")));
    for (const char* name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
        EXPECT_FALSE(read_binary_file(board + "/mtd/" + name + ".bin").empty()) << name;
        EXPECT_TRUE(all_erased(read_binary_file(board + "/mtd/" + name + ".bin"))) << name;
    }
    EXPECT_TRUE(fs::is_empty(board + "/user/images"));
    EXPECT_FALSE(fs::exists(board + "/usb.inserted"));

    set_eeprom(board, "0x100", "2");
    bmsim_ok({"usb", board, "insert"});
    write_text(board + "/user/images/image1", "old");
    write_text(board + "/log", "old\n");
    bmsim_ok({"new", board});
    EXPECT_EQ(eeprom_byte(board, 0x100), 0xFF);
    EXPECT_TRUE(fs::is_empty(board + "/user/images"));
    EXPECT_FALSE(fs::exists(board + "/usb.inserted"));
    EXPECT_FALSE(fs::exists(board + "/log"));

    write_text(board + "/user/images/precious", "keep me");
    std::string output;
    EXPECT_NE(run_bmsim({"new", board + "/user/images"}, &output), 0);
    EXPECT_TRUE(contains(output, "not an empty folder or a board")) << output;
    EXPECT_EQ(read_text_file(board + "/user/images/precious"), "keep me");
}

TEST_F(BmsimCommands, EnvAndEepromWriteTheBoardAsTheSwitchKeepsIt) {
    bmsim_ok({"env", board, "gdbport=4321", "diagnostics=rescue"});
    std::vector<uint8_t> block = read_binary_file(board + "/mtd/ubootenv.bin");
    std::string expected("gdbport=4321\0diagnostics=rescue\0\0", 33);
    ASSERT_GE(block.size(), 4 + expected.size());
    EXPECT_EQ(std::string(block.begin() + 4, block.begin() + 4 + long(expected.size())), expected);
    EXPECT_NE(std::vector<uint8_t>(block.begin(), block.begin() + 4), std::vector<uint8_t>(4, 0xFF));

    std::string output;
    set_eeprom(board, "0x13B", "213");
    EXPECT_EQ(eeprom_byte(board, 0x13B), 0xD5);
    EXPECT_EQ(run_bmsim({"eeprom", board, "315"}, &output), 0);
    EXPECT_EQ(output, "0xd5\n");
    EXPECT_EQ(run_bmsim({"eeprom", board, "0x13a"}, &output), 0);
    EXPECT_EQ(output, "0xff\n");
}

// Bad usage exits with 2, a failure to act on the board with 1, a board that cannot be started
// with 125; nothing is changed.
TEST_F(BmsimCommands, ExplainThemselvesAndRefuseBadUsage) {
    std::string output;
    EXPECT_EQ(run_bmsim({"--help"}, &output), 0);
    EXPECT_TRUE(contains(output, "boot DIR")) << output;
    for (const char* command : {"new", "env", "eeprom", "flash", "usb", "boot", "log"}) {
        EXPECT_EQ(run_bmsim({command, "--help"}, &output), 0) << command;
        EXPECT_TRUE(contains(output, std::string("usage: bmsim ") + command)) << output;
    }
    write_text(board + "/file", "x");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{}, 2, ""}, {{"reboot"}, 2, ""},
        {{"log", "/nonexistent-board"}, 1, "is not a board directory"},
        {{"env", board, "diagnostics"}, 2, "'diagnostics' is not a setting NAME=VALUE"},
        {{"flash", board, "kernal", board + "/file"}, 2, "unknown partition 'kernal'"},
        {{"flash", board, "kernel", board + "/absent"}, 1, ""},
        {{"boot", board, "--program", board + "/absent"}, 125, "program '" + board + "/absent' not found"},
        {{"boot", board + "/user"}, 125, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run_bmsim(c.args, &output), c.status) << c.args.size() << output;
        EXPECT_TRUE(contains(output, c.message)) << output;
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"eeprom", "0x10000"}, {"eeprom", "65536"}, {"eeprom", "0x100", "256"}, {"eeprom", "0x100", "0x"},
             {"eeprom", "-1"}, {"eeprom", "12abc"}, {"eeprom", "0x100", "2", "3"}, {"usb"}, {"usb", "plug"},
             {"usb", "insert", "--ready-after"}, {"usb", "insert", "--ready-after", "soon"}, {"usb", "remove", "now"},
             {"boot", "--timeout", "0"}, {"boot", "--timeout", "x"}, {"boot", "--power-cycles", "0"},
             {"boot", "--time-scale", "-1"}, {"boot", "--fast"}, {"boot", "--timeout"}}) {
        std::vector<std::string> full = {args[0], board};
        full.insert(full.end(), args.begin() + 1, args.end());
        EXPECT_EQ(run_bmsim(full, &output), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "") << output;
    }
    EXPECT_EQ(eeprom_byte(board, 0x100), 0xFF);
    EXPECT_FALSE(fs::exists(board + "/usb.inserted"));
}

TEST_F(BmsimSandbox, HoldsOnlyBusyboxTheStubsAndTheProgram) {
    std::string output;
    run_bmsim(with({"boot", board}, boot_script(board, R"SH(
for f in /bin/* /sbin/* /usr/bin/* /usr/sbin/*; do
    if [ -L "$f" ]; then echo "LINK $f $(readlink "$f")"; else echo "FILE $f"; fi
done
[ -e /etc/passwd ] || echo "NO PASSWD"
[ -z "$(ls /tmp)" ] && echo "TMP EMPTY"
echo "HOST $(hostname)"
)SH")),
              &output);
    std::vector<std::string> files;
    std::istringstream lines(plain(output));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("FILE ")) files.push_back(line.substr(5));
        EXPECT_TRUE(!line.starts_with("LINK ") || line.ends_with(" /bin/busybox")) << line;
    }
    std::vector<std::string> expected = {"/bin/backtrace", "/bin/busybox", "/bin/gdbserver",
                                         "/bin/mount",     "/bin/umount",  "/sbin/bootmanager",
                                         "/sbin/reboot",   "/usr/bin/rx",  "/usr/sbin/flash_eraseall"};
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expected) << output;
    for (const char* line : {"LINK /bin/sh /bin/busybox", "LINK /usr/bin/find /bin/busybox", "NO PASSWD", "TMP EMPTY",
                             "HOST switch"})
        EXPECT_TRUE(contains(output, line)) << line << output;
}

// Each reboot starts the script again, up to the limit, on the same board folders with a fresh
// /tmp; a start that ends without a reboot ends the power cycles.
TEST_F(BmsimSandbox, PowerCyclesShareTheBoardFoldersButNotTmp) {
    write_text(board + "/user/images/image1", "slot one");
    std::string output;
    EXPECT_EQ(run_bmsim(with({"boot", board, "--power-cycles", "3"}, boot_script(board, R"SH(
cat /user/images/image1; echo
echo written >> /user/from-inside
ls /tmp/mark 2>/dev/null && echo "TMP KEPT"
touch /tmp/mark
reboot
)SH")), &output), 0);
    EXPECT_TRUE(contains(output, "slot one")) << output;
    EXPECT_TRUE(contains(output, "bmsim: the switch reboots: start 3 of 3")) << output;
    EXPECT_FALSE(contains(output, "TMP KEPT")) << output;
    EXPECT_EQ(read_text_file(board + "/user/from-inside"), "written\nwritten\nwritten\n");
    for (const char* start : {"1", "2", "3"})
        EXPECT_TRUE(contains(log(), std::string("bmsim: start ") + start + " ended: reboot requested, exit status 0"))
            << log();
    EXPECT_FALSE(contains(log(), "bmsim: start 4")) << log();

    bmsim_ok({"new", board});
    EXPECT_EQ(run_bmsim(with({"boot", board, "--power-cycles", "3"}, boot_script(board, "exit 4\n")), &output), 4);
    EXPECT_TRUE(contains(log(), "bmsim: start 1 ended: exit status 4\n")) << log();
    EXPECT_FALSE(contains(log(), "bmsim: start 2\n")) << log();
}

// The stick's files are in /mnt/usb at once, its marker after the delay on the board's clock
// (five seconds, scaled to half a second); a removed stick leaves both out but keeps its files.
TEST_F(BmsimSandbox, StickIsMountedWithItsMarkerAfterTheDelayUntilRemoved) {
    bmsim_ok({"usb", board, "insert", "--ready-after", "5"});
    write_text(board + "/usb/NXR4417_OS.img", "stick");
    std::string output;
    EXPECT_EQ(run_bmsim(with({"boot", board}, boot_script(board, R"SH(
ls /mnt/usb
[ -e /tmp/usb ] || echo "NOT READY YET"
sleep 1.5
[ -e /tmp/usb ] && echo "READY NOW"
)SH", {"--timeout", "30", "--time-scale", "0.1"})), &output), 0);
    for (const char* line : {"NXR4417_OS.img", "NOT READY YET", "READY NOW"})
        EXPECT_TRUE(contains(output, line)) << line << output;

    bmsim_ok({"usb", board, "remove"});
    EXPECT_EQ(run_bmsim(with({"boot", board}, boot_script(board, R"SH(
[ -z "$(ls /mnt/usb)" ] && echo "NO STICK"
sleep 0.3
[ -e /tmp/usb ] || echo "NO MARKER"
)SH")), &output), 0);
    EXPECT_TRUE(contains(output, "NO STICK")) << output;
    EXPECT_TRUE(contains(output, "NO MARKER")) << output;
    EXPECT_EQ(read_text_file(board + "/usb/NXR4417_OS.img"), "stick");
}

// Without a terminal the input is typed as it comes; after its end the console stays open.
TEST_F(BmsimBoot, InputIsTypedAndTheConsoleStaysOpenUntilTheTimeOut) {
    std::string command = "printf 'hello\\n' | " BMSIM_PATH " boot " + board;
    for (const std::string& option : boot_script(board, "read line\necho \"GOT [$line]\"\nread line\n"
                                                        "echo \"SECOND READ ENDED $?\"\n", {"--timeout", "1.5"}))
        command += " " + option;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 124);
    EXPECT_TRUE(contains(output, "GOT [hello]")) << output;
    EXPECT_FALSE(contains(output, "SECOND READ ENDED")) << output;
    EXPECT_TRUE(contains(output, "bmsim: time-out after 1.5 seconds: the board was stopped")) << output;
    EXPECT_TRUE(contains(log(), "bmsim: start 1 ended: time-out after 1.5 s, stopped\n")) << log();
}

TEST_F(BmsimBoot, SigtermStopsTheBoardAndIsLogged) {
    session = start_boot(board, boot_script(board, "echo READY\nsleep 30\n"));
    ASSERT_TRUE(shows({"READY"}));
    kill(session.pid, SIGTERM);
    EXPECT_EQ(ends(), 128 + SIGTERM);
    EXPECT_TRUE(contains(session.output, "bmsim: the board was stopped")) << session.output;
    EXPECT_TRUE(contains(log(), "bmsim: start 1 ended: stopped\n")) << log();
}

// The terminal's settings are read through a second descriptor of its master side.
TEST_F(BmsimBoot, InteractiveTerminalIsRawDuringTheBootAndRestoredAfter) {
    std::vector<std::string> args = with({BMSIM_PATH, "boot", board}, boot_script(board, "echo READY\nsleep 0.5\n"));
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    session.pid = forkpty(&session.master, nullptr, nullptr, nullptr);
    if (session.pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int probe = dup(session.master);
    termios mode = {};
    ASSERT_TRUE(shows({"READY"}));
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(ends(), 0);
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(ICANON | ECHO | ISIG));
    close(probe);
}

}  // namespace
