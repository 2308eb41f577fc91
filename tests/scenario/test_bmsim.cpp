// bmsim, the simulated board's front end, as its users rely on it: the board files that new, env
// and eeprom write, its answers to bad usage, and `bmsim boot` with its sandbox, power cycles,
// console and time-out. The boots run small busybox scripts in place of the program (--program)
// to look at the switch from inside.
// Faults tried (in sim/, then reverted): another host name, an extra host program bound in,
// power cycles going on after a start that did not reboot, or bmsim's input not typed on the
// console -> Bmsim.SandboxHoldsOnlyBusyboxTheStubsAndTheProgramOverPowerCycles fails; exit
// status 1 at the time-out, or the end of bmsim's input passed on to the console ->
// Bmsim.ExitStatusesOfHelpBadUsageFailuresAndTheTimeOut fails; the terminal not restored ->
// Bmsim.TerminalIsRawDuringTheBootAndRestoredAfterSigterm fails; a partition of a new board not
// erased -> Bmsim.NewEnvAndEepromWriteTheBoardAsTheSwitchKeepsIt fails; the environment's checksum
// left out -> the unit test BoardDirectory.EnvironmentHasChecksumAndZeroTerminatedSettings fails.
#include <termios.h>
#include <unistd.h>

#include <csignal>

#include "scenario_board.h"

namespace {

using Bmsim = Scenario;

// The options of `bmsim boot` that boot a busybox script in place of the program.
std::vector<std::string> boot_script(const std::string& board, const std::string& body, const char* timeout = "30") {
    write_text(board + "/program.sh", "#!/bin/sh\n" + body);
    fs::permissions(board + "/program.sh", fs::perms::owner_all);
    return {"--program", board + "/program.sh", "--timeout", timeout};
}

// eeprom reads and writes a cell in decimal or hex; an old board is made afresh, erased (its
// environment too) and without images, stick or log; a folder that is no board is left alone. The
// environment's block is checked by the unit test BoardDirectory.
TEST_F(Bmsim, NewEnvAndEepromWriteTheBoardAsTheSwitchKeepsIt) {
    std::string output;
    set_eeprom("0x13B", "213");
    EXPECT_EQ(eeprom(0x13B), 0xD5);
    EXPECT_EQ(bmsim_ok({"eeprom", board, "315"}), "0xd5\n");

    env({"gdbport=4321", "diagnostics=rescue"});
    bmsim_ok({"usb", board, "insert"});
    write_text(slot_path(1), "old");
    write_text(board + "/log", "old\n");
    bmsim_ok({"new", board});
    EXPECT_EQ(read_binary_file(board + "/eeprom.bin").size(), 65536u);
    for (const char* name :
         {"eeprom", "mtd/uboot", "mtd/ubootenv", "mtd/devicetree", "mtd/kernel", "mtd/rfs", "mtd/rescue"})
        EXPECT_TRUE(all_erased(read_binary_file(board + "/" + name + ".bin"))) << name;
    EXPECT_TRUE(fs::is_empty(board + "/user/images"));
    EXPECT_FALSE(fs::exists(board + "/usb.inserted") || fs::exists(board + "/log"));

    write_text(board + "/user/images/precious", "keep me");
    EXPECT_EQ(run_bmsim({"new", board + "/user/images"}, &output), 1);
    EXPECT_TRUE(has(output, {"not an empty folder or a board"}));
    EXPECT_EQ(read_text_file(board + "/user/images/precious"), "keep me");
}

// Bad usage exits with 2, a failure to act on the board with 1, a board that cannot be started
// with 125, and one that runs past the time-out with 124: after the end of bmsim's input the
// console stays open, so the program's read waits on; nothing is changed.
TEST_F(Bmsim, ExitStatusesOfHelpBadUsageFailuresAndTheTimeOut) {
    write_text(board + "/file", "x");
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--help"}, 0},
        {{}, 2},
        {{"eeprom", board, "0x100", "256"}, 2},
        {{"flash", board, "kernal", board + "/file"}, 2},
        {{"log", "/nonexistent-board"}, 1},
        {{"boot", board, "--program", board + "/absent"}, 125},
        {{"boot", board + "/user"}, 125},
        {with({"boot", board}, boot_script(board, "read line\n", "1")), 124}};
    std::string output;
    for (const auto& [args, status] : cases) EXPECT_EQ(run_bmsim(args, &output), status) << output;
    EXPECT_EQ(eeprom(0x100), 0xFF);
    EXPECT_TRUE(all_erased(partition("kernel")));
}

// The switch holds busybox (every other program a link to it), the stubs and the program,
// nothing of the host's own but the loader's cache in /etc; bmsim's input is typed on its
// console. Each reboot starts the script again on the same board folders with a fresh /tmp; the
// third start ends without a reboot, which ends the power cycles with its exit status. A stick
// inserted and removed again leaves /mnt/usb empty but keeps its files.
TEST_F(Bmsim, SandboxHoldsOnlyBusyboxTheStubsAndTheProgramOverPowerCycles) {
    bmsim_ok({"usb", board, "insert"});
    write_text(board + "/usb/NXR4417_OS.img", "stick");
    bmsim_ok({"usb", board, "remove"});
    boot(with({"--power-cycles", "4"}, boot_script(board, R"SH(
[ -e /user/from-inside ] || { read line; echo FILES $(for f in /bin/* /sbin/* /usr/bin/* /usr/sbin/*; do
    [ "$(readlink $f)" = /bin/busybox ] || echo $f; done) HOST $(hostname) $(ls /etc) [$line]; }
echo written >> /user/from-inside
[ -z "$(ls /tmp)$(ls /mnt/usb)" ] || echo "TMP OR STICK NOT EMPTY"
touch /tmp/mark
[ $(wc -l < /user/from-inside) = 3 ] && exit 4
reboot
)SH")));
    session.send("typed\n");
    ends(4);
    EXPECT_TRUE(has(plain(session.output), {"FILES /bin/backtrace /bin/busybox /bin/gdbserver /bin/mount /bin/umount "
                                            "/sbin/bootmanager /sbin/reboot /usr/bin/rx /usr/sbin/flash_eraseall "
                                            "HOST switch ld.so.cache [typed]\n"}));
    EXPECT_TRUE(lacks(session.output, {"NOT EMPTY"}));
    EXPECT_EQ(read_text_file(board + "/usb/NXR4417_OS.img"), "stick");
    EXPECT_EQ(read_text_file(board + "/user/from-inside"), "written\nwritten\nwritten\n");
    EXPECT_TRUE(has(log(), {"start 1 ended: reboot requested, exit status 0", "start 2 ended: reboot requested",
                            "bmsim: start 3 ended: exit status 4\n"}));
    EXPECT_TRUE(lacks(log(), {"bmsim: start 4"}));
}

// On a terminal the console is raw during the boot; SIGTERM stops the board, is logged, and
// leaves the terminal's settings (read through a second descriptor) as they were.
TEST_F(Bmsim, TerminalIsRawDuringTheBootAndRestoredAfterSigterm) {
    boot(boot_script(board, "echo READY\nsleep 30\n"), /*on_terminal=*/true);
    int probe = dup(session.master);
    termios mode = {};
    ASSERT_TRUE(shows({"READY"}));
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), 0u);
    kill(session.pid, SIGTERM);
    ends(128 + SIGTERM);
    EXPECT_TRUE(has(session.output, {"bmsim: the board was stopped"}));
    EXPECT_TRUE(has(log(), {"bmsim: start 1 ended: stopped\n"}));
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(ICANON | ECHO | ISIG));
    close(probe);
}

}  // namespace
