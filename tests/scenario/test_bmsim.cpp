// bmsim, the simulated board's front end: its board commands, and `bmsim boot` with its sandbox,
// console, stubs, time-out, power cycles and log. The boots here run small busybox scripts in
// place of the program (--program) to look at the switch from inside.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "scenario_board.h"

namespace {

namespace fs = std::filesystem;
using Bmsim = Scenario;

// The options of `bmsim boot` that boot a busybox script in place of the program.
std::vector<std::string> boot_script(const std::string& board, const std::string& body,
                                     const std::string& timeout = "30") {
    write_text(board + "/program.sh", "#!/bin/sh\n" + body);
    chmod((board + "/program.sh").c_str(), 0755);
    return {"--program", board + "/program.sh", "--timeout", timeout};
}

// A new board, and an old one renewed, are erased and hold no images, stick or log; env and
// eeprom write the board as the switch keeps it; a folder that is no board is left alone.
TEST_F(Bmsim, NewEnvAndEepromWriteTheBoardAsTheSwitchKeepsIt) {
    auto expect_fresh = [&] {
        EXPECT_EQ(read_binary_file(board + "/eeprom.bin").size(), 65536u);
        for (const char* name :
             {"eeprom", "mtd/uboot", "mtd/ubootenv", "mtd/devicetree", "mtd/kernel", "mtd/rfs", "mtd/rescue"}) {
            std::vector<uint8_t> bytes = read_binary_file(board + "/" + name + ".bin");
            EXPECT_TRUE(!bytes.empty() && all_erased(bytes)) << name;
        }
        EXPECT_TRUE(fs::is_empty(board + "/user/images"));
        EXPECT_FALSE(fs::exists(board + "/usb.inserted") || fs::exists(board + "/log"));
    };
    expect_fresh();
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

    bmsim_ok({"usb", board, "insert"});
    write_text(board + "/user/images/image1", "old");
    write_text(board + "/log", "old\n");
    bmsim_ok({"new", board});
    expect_fresh();

    write_text(board + "/user/images/precious", "keep me");
    EXPECT_NE(run_bmsim({"new", board + "/user/images"}, &output), 0);
    EXPECT_TRUE(contains(output, "not an empty folder or a board")) << output;
    EXPECT_EQ(read_text_file(board + "/user/images/precious"), "keep me");
}

// Bad usage exits with 2, a failure to act on the board with 1, a board that cannot be started
// with 125; nothing is changed.
TEST_F(Bmsim, ExplainsItselfAndRefusesBadUsage) {
    std::string output;
    EXPECT_EQ(run_bmsim({"--help"}, &output), 0);
    EXPECT_TRUE(contains(output, "boot DIR")) << output;
    write_text(board + "/file", "x");
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{}, 2}, {{"eeprom", board, "0x100", "256"}, 2}, {{"flash", board, "kernal", board + "/file"}, 2},
        {{"log", "/nonexistent-board"}, 1}, {{"boot", board, "--program", board + "/absent"}, 125},
        {{"boot", board + "/user"}, 125}};
    for (const auto& [args, status] : cases) EXPECT_EQ(run_bmsim(args, &output), status) << output;
    EXPECT_EQ(eeprom_byte(board, 0x100), 0xFF);
    EXPECT_TRUE(all_erased(read_binary_file(board + "/mtd/kernel.bin")));
}

// The switch holds busybox, the stubs and the program, nothing of the host's own. Each reboot
// starts the script again, up to the limit, on the same board folders with a fresh /tmp; a start
// that ends without a reboot ends the power cycles with its exit status. A stick inserted and
// removed again leaves /mnt/usb empty and no marker in /tmp, but keeps its files.
TEST_F(Bmsim, SandboxHoldsOnlyBusyboxTheStubsAndTheProgramOverPowerCycles) {
    bmsim_ok({"usb", board, "insert"});
    write_text(board + "/usb/NXR4417_OS.img", "stick");
    bmsim_ok({"usb", board, "remove"});
    std::string output;
    EXPECT_EQ(run_bmsim(with({"boot", board, "--power-cycles", "3"}, boot_script(board, R"SH(
if [ ! -e /user/from-inside ]; then
    for f in /bin/* /sbin/* /usr/bin/* /usr/sbin/*; do
        if [ -L "$f" ]; then echo "LINK $f $(readlink "$f")"; else echo "FILE $f"; fi
    done
    [ -e /etc/passwd ] || echo "NO PASSWD"
    echo "HOST $(hostname)"
fi
echo written >> /user/from-inside
[ -z "$(ls /tmp)" ] && [ -z "$(ls /mnt/usb)" ] || echo "TMP OR STICK NOT EMPTY"
touch /tmp/mark
reboot
)SH")), &output), 0);
    std::vector<std::string> files;
    std::istringstream lines(plain(output));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("FILE ")) files.push_back(line.substr(5));
        EXPECT_TRUE(!line.starts_with("LINK ") || line.ends_with(" /bin/busybox")) << line;
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"/bin/backtrace", "/bin/busybox", "/bin/gdbserver", "/bin/mount",
                                               "/bin/umount", "/sbin/bootmanager", "/sbin/reboot", "/usr/bin/rx",
                                               "/usr/sbin/flash_eraseall"}))
        << output;
    for (const char* line : {"LINK /bin/sh /bin/busybox", "NO PASSWD", "HOST switch"})
        EXPECT_TRUE(contains(output, line)) << line << output;
    EXPECT_FALSE(contains(output, "NOT EMPTY")) << output;
    EXPECT_EQ(read_text_file(board + "/usb/NXR4417_OS.img"), "stick");
    EXPECT_EQ(read_text_file(board + "/user/from-inside"), "written\nwritten\nwritten\n");
    EXPECT_TRUE(in_order(log(), {"start 1 ended: reboot requested, exit status 0", "start 2 ended: reboot requested",
                                 "start 3 ended: reboot requested"})) << log();
    EXPECT_FALSE(contains(log(), "bmsim: start 4")) << log();

    bmsim_ok({"new", board});
    EXPECT_EQ(run_bmsim(with({"boot", board, "--power-cycles", "3"}, boot_script(board, "exit 4\n")), &output), 4);
    EXPECT_TRUE(contains(log(), "bmsim: start 1 ended: exit status 4\n")) << log();
    EXPECT_FALSE(contains(log(), "bmsim: start 2\n")) << log();
}

// Without a terminal the input is typed as it comes; after its end the console stays open
// until the time-out, which stops the board with an exit status of its own.
TEST_F(Bmsim, InputIsTypedAndTheConsoleStaysOpenUntilTheTimeOut) {
    std::string output;
    EXPECT_EQ(run_bmsim(with({"boot", board}, boot_script(board, "read line\necho \"GOT [$line]\"\nread line\n"
                                                                 "echo \"SECOND READ ENDED $?\"\n", "1.5")),
                        &output, "hello\n"), 124);
    EXPECT_TRUE(contains(output, "GOT [hello]")) << output;
    EXPECT_FALSE(contains(output, "SECOND READ ENDED")) << output;
    EXPECT_TRUE(contains(output, "bmsim: time-out after 1.5 seconds: the board was stopped")) << output;
    EXPECT_TRUE(contains(log(), "bmsim: start 1 ended: time-out after 1.5 s, stopped\n")) << log();
}

// On a terminal the console is raw during the boot; SIGTERM stops the board, is logged, and
// leaves the terminal's settings (read through a second descriptor) as they were.
TEST_F(Bmsim, TerminalIsRawDuringTheBootAndRestoredAfterSigterm) {
    session = start_boot(board, boot_script(board, "echo READY\nsleep 30\n"), Console::terminal);
    int probe = dup(session.master);
    termios mode = {};
    ASSERT_TRUE(shows({"READY"}));
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), 0u);
    kill(session.pid, SIGTERM);
    EXPECT_EQ(ends(), 128 + SIGTERM);
    EXPECT_TRUE(contains(session.output, "bmsim: the board was stopped")) << session.output;
    EXPECT_TRUE(contains(log(), "bmsim: start 1 ended: stopped\n")) << log();
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(ICANON | ECHO | ISIG));
    close(probe);
}

}  // namespace
