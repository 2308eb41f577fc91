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
// left out -> the unit test BoardDirectory.EnvironmentHasChecksumAndZeroTerminatedSettings fails;
// the environment not printed -> Bmsim.NewEnvAndEepromWriteTheBoardAsTheSwitchKeepsIt fails;
// Ctrl-] b sending Ctrl-], ISIG left on bmsim's terminal, or init no longer continuing a program
// the stop key stopped -> Bmsim.EscapeKeysListSendAFileABreakAndStopTheBoard fails; \t sent as a
// blank, an expect searching from the start rather than after the last match, or a failed step
// exiting with 124 -> Bmsim.ScriptExpectsSendsSleepsAndSendsFiles fails; the demo script's pause
// before the Enter after a baud-rate prompt left out, or the sender's bytes passed on at once
// after the receiver's answers (a race: caught in one run of four) ->
// Bmsim.DemoRescueDownloadInstallsThePackage fails; the cut request's own line written after the
// cut instead of before -> Bmsim.PowerCutEndsTheRequestLogAtItsRequestAndSetsTheFaultsAside
// fails; the device emulator's watch left at its member initializer until after the load-time
// attach (the program read its console at start and hung) -> every boot of the program fails;
// env starting from an empty environment -> Bmsim.EnvSetsAndDeletesNamesKeepingTheRestAndPrintsOne
// fails; a folder read as a board file -> Bmsim.EveryCommandReportsAFolderAMissingOrALoopingPathInOneLine
// fails; the used-up power cycles ending with 0, or init not logging a program's signal ->
// Bmsim.RunsEndSayingWhyWithTheirOwnStatus fails; the console's text passed to sx before the
// receiver asks -> Bmsim.EscapeKeyOfChoiceOrNoneAndASendThatWaitsForItsReceiverOrIsCancelled fails.
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "scenario/scenario_board.h"

namespace {

// The options of `bmsim boot` that boot a busybox script in place of the program.
std::vector<std::string> boot_script(const std::string& board, const std::string& body, const char* timeout = "30") {
    write_text(board + "/program.sh", "#!/bin/sh\n" + body);
    fs::permissions(board + "/program.sh", fs::perms::owner_all);
    return {"--program", board + "/program.sh", std::string("--timeout=") + timeout};
}

struct Bmsim : Scenario {
    std::string output;  // what the last run of bmsim or of a shell command printed
    int bmsim(const Texts& args) { return run_bmsim(args, &output); }
    int shell(const std::string& command) { return run_command(command, &output); }
    // Runs the steps as a script against a busybox script booted in place of the program.
    int run_script(const std::string& steps, const std::string& body) {
        write_text(board + "/run.script", steps);
        return bmsim(with({"boot", board, "--script", board + "/run.script"}, boot_script(board, body)));
    }
};

// A power cut of the faults file ends the request log at its request: every request up to the
// K-th is there, the cut's line last; the board log names the cut in the start's end line, and
// the faults file is set aside, so that the next power-on runs without it.
TEST_F(Bmsim, PowerCutEndsTheRequestLogAtItsRequestAndSetsTheFaultsAside) {
    write_text(board + "/faults", "power-cut request 5\n");
    boot();
    ends(128 + SIGKILL);
    Texts requests;
    std::istringstream lines(read_text_file(board + "/devices.log"));
    for (std::string line; std::getline(lines, line);)
        if (!std::ranges::any_of(Texts{"sleep ", "usleep ", "nanosleep ", "clock_nanosleep ", "poll "},
                                 [&](const std::string& pause) { return line.starts_with(pause); }))
            requests.push_back(line);
    EXPECT_EQ(requests.size(), 6u) << read_text_file(board + "/devices.log");
    EXPECT_EQ(requests.back(), "power cut after request 5");
    EXPECT_TRUE(has(log(), {"power cut after request 5\ninit: program killed by signal 9\n"
                            "bmsim: start 1 ended: power cut after request 5, killed by signal 9\n"}));
    EXPECT_TRUE(fs::exists(board + "/faults.cut") && !fs::exists(board + "/faults"));
}

// eeprom reads and writes a cell in decimal or hex; an old board is made afresh, erased (its
// environment too) and without images, stick or log; a folder that is no board is left alone. The
// environment's block is checked by the unit test BoardDirectory.
TEST_F(Bmsim, NewEnvAndEepromWriteTheBoardAsTheSwitchKeepsIt) {
    set_eeprom("0x13B", "213");
    EXPECT_EQ(eeprom(0x13B), 0xD5);
    EXPECT_EQ(bmsim_ok({"eeprom", board, "315"}), "0xd5\n");

    env({"gdbport=4321", "diagnostics=rescue"});
    EXPECT_EQ(bmsim_ok({"env", board}), "gdbport=4321\ndiagnostics=rescue\n");
    EXPECT_EQ(bmsim_ok({"eeprom", board}), "0x100 boot slot  0xff\n0x13a boot mode  0xff\n0x13b USB marker 0xd5\n");
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

    bmsim_ok({"env", board, "--clear"});
    EXPECT_EQ(bmsim_ok({"env", board}), "");

    write_text(board + "/user/images/precious", "keep me");
    EXPECT_EQ(bmsim({"new", board + "/user/images"}), 1);
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
        {{"--version"}, 0},
        {{}, 2},
        {{"eeprom", board, "0x100", "256"}, 2},
        {{"env", board, "--clear", "a=1"}, 2},
        {{"boot", board, "--timeout"}, 2},
        {{"boot", board, "--script", board + "/absent"}, 125},
        {{"flash", board, "kernal", board + "/file"}, 2},
        {{"log", "/nonexistent-board"}, 1},
        {{"boot", board, "--program", board + "/absent"}, 125},
        {{"boot", board + "/user"}, 125},
        {with({"boot", board}, boot_script(board, "read line\n", "1")), 124}};
    for (const auto& [args, status] : cases) EXPECT_EQ(bmsim(args), status) << output;
    EXPECT_EQ(bmsim({"flash", board, "kernel", "nosuch.img"}), 1);
    EXPECT_EQ(output, "bmsim flash: cannot read 'nosuch.img': No such file or directory\n");
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
    EXPECT_TRUE(
        has(plain(session.output), {"FILES /bin/backtrace /bin/busybox /bin/gdbserver /bin/mount /bin/umount "
                                    "/sbin/bmctl /sbin/bootmanager /sbin/reboot /usr/bin/rx /usr/sbin/flash_eraseall "
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

// On a terminal Ctrl-Z, Ctrl-\ and a doubled Ctrl-] reach the board as bytes, Ctrl-] b as Ctrl-C;
// Ctrl-] ? lists the keys, Ctrl-] s sends a file with sx (chosen before the receiver starts, so
// that its first request is not missed). The stop key does not stop the switch's program, and
// Ctrl-] q stops the board.
TEST_F(Bmsim, EscapeKeysListSendAFileABreakAndStopTheBoard) {
    write_binary_file(board + "/file", pattern_bytes(2048, 9));
    boot(boot_script(board, R"SH(stty raw -echo; echo READY
dd bs=1 count=4 2>/dev/null | od -An -tx1; rx /tmp/got 2>/dev/null; stty sane
echo "md5 $(md5sum < /tmp/got)"; read line; echo "GOT $line"; read line
)SH"),
         /*on_terminal=*/true);
    ASSERT_TRUE(shows({"Ctrl-] q stops the board", "READY"}));
    session.send("\x1a\x1c\x1d\x1d\x1d?");
    ASSERT_TRUE(shows({"keys after Ctrl-]: q stop the board"}));
    session.send("\x1ds");
    ASSERT_TRUE(shows({"file to send: "}));
    session.send(board +
                 "/file\r\x1d"
                 "b");
    // the program's md5 line and bmsim's notice of the sent file come in either order
    ASSERT_TRUE(shows({" 1a 1c 1d 03", "md5 " + md5_of(board + "/file")}));
    for (int wait = 0; wait < 20 && !contains(session.output, "file' sent"); ++wait) watch(0.1);
    EXPECT_TRUE(contains(session.output, "file' sent")) << session.output;
    session.send(
        "\x1a"
        "x\n");
    ASSERT_TRUE(shows({"GOT x"}));
    session.send("\x1dq");
    ends(0);
    EXPECT_TRUE(has(log(), {"bmsim: start 1 ended: stopped\n"}));
}

// A script skips comments and blank lines, types its escapes, sends a file and waits for texts
// in turn; the run ends with the program's status. An expect not met after the last match
// within the time-out ends it with 3, naming the step and the console's last lines; a script
// from standard input alike.
TEST_F(Bmsim, ScriptExpectsSendsSleepsAndSendsFiles) {
    write_binary_file(board + "/file", pattern_bytes(2048, 9));
    EXPECT_EQ(run_script("# a comment\n\nexpect name?\nsleep 0.2\nsend x\\x41\\ty\\\\\\n\nsendfile " + board +
                             "/file\nexpect [xA\\ty\\\\]\nexpect md5 " + md5_of(board + "/file") + "\n",
                         R"SH(echo "name?"; read -r name; echo "[$name]"
stty raw -echo; rx /tmp/got 2>/dev/null; stty sane; echo "md5 $(md5sum < /tmp/got)"; exit 7
)SH"),
              7)
        << output;
    EXPECT_TRUE(has(output, {"[xA\ty\\]"}));

    write_text(board + "/bad.script", "expect last\n  expect name?\n");
    Texts program = boot_script(board, "echo name?; echo last; read line\n", "2");
    std::string command = BMSIM_PATH " boot " + board + " --script - --program " + program[1] + " " + program[2];
    EXPECT_EQ(shell(command + " < " + board + "/bad.script 2>&1"), 3);
    EXPECT_TRUE(has(plain(output), {"bmsim: script standard input, line 2 failed: expect name?\n",
                                    "the console's last lines:\n", "| name?\n| last\n"}));
}

// The serial download of the README, by one command: the package made, sent in the rescue menu
// and installed into slot 2 and the kernel partition.
TEST_F(Bmsim, DemoRescueDownloadInstallsThePackage) {
    std::string package = board + "/package";
    ASSERT_EQ(shell("BMSIM=" BMSIM_PATH " BMIMAGE=" BMIMAGE_PATH " " BM_SOURCE_DIR "/sim/demo/rescue-download.sh " +
                    board + " " + package + " 2>&1"),
              0)
        << output;
    EXPECT_EQ(slot(2), read_binary_file(package + "/app.img"));
    EXPECT_TRUE(starts_with(partition("kernel"), read_binary_file(package + "/kernel.img")));
    EXPECT_TRUE(has(plain(output), {"Image2 updated succeeded", "Kernel image: 1.0.0.3", "OS image 2  : 1.0.0.3"}));
    EXPECT_EQ(count_of(output, "\x15"), 1u);  // the receiver's first request; no block was lost
}

// env changes the named settings and keeps the rest, as fw_setenv does: the last of two settings
// of one name wins, a name alone deletes, --print shows one value.
TEST_F(Bmsim, EnvSetsAndDeletesNamesKeepingTheRestAndPrintsOne) {
    env({"a=1", "b=2", "c=3"});
    env({"b=9", "a", "d=5", "d=6", "gone"});
    EXPECT_EQ(bmsim_ok({"env", board}), "b=9\nc=3\nd=6\n");
    EXPECT_EQ(bmsim_ok({"env", board, "--print", "d"}), "6\n");
    EXPECT_EQ(bmsim({"env", board, "--print", "a"}), 1);
    EXPECT_EQ(output, "bmsim env: 'a' is not set\n");
    EXPECT_EQ(bmsim({"env", board, "--print", "b", "c=1"}), 2);
    EXPECT_EQ(bmsim_ok({"env", board}), "b=9\nc=3\nd=6\n");
}

// Every command given a folder, a missing file or a path that cannot be opened even by root (a
// symbolic link to itself) for a file or a board, or a board whose files are folders, says so in
// one line naming the command, and never aborts.
TEST_F(Bmsim, EveryCommandReportsAFolderAMissingOrALoopingPathInOneLine) {
    fs::create_symlink("loop", board + "/loop");
    for (const std::string& bad : {board + "/user", board + "/missing", board + "/loop"}) {
        const std::pair<Texts, int> cases[] = {{{"flash", board, "kernel", bad}, 1},
                                               {{"boot", board, "--script", bad}, 125},
                                               {{"boot", board, "--program", bad}, 125},
                                               {{"env", bad}, 1},
                                               {{"eeprom", bad, "0"}, 1},
                                               {{"usb", bad, "insert"}, 1},
                                               {{"log", bad}, 1},
                                               {{"boot", bad}, 125}};
        for (const auto& [args, status] : cases) {
            EXPECT_EQ(bmsim(args), status) << args[0] << " " << bad << ": " << output;
            EXPECT_TRUE(output.starts_with("bmsim " + args[0] + ": ") && count_of(output, "\n") == 1) << output;
        }
    }
    fs::remove(board + "/log");
    fs::remove(board + "/mtd/ubootenv.bin");
    fs::create_directories(board + "/log");
    fs::create_directories(board + "/mtd/ubootenv.bin");
    for (const Texts& args : {Texts{"log", board}, Texts{"env", board}, Texts{"env", board, "a=1"}}) {
        EXPECT_EQ(bmsim(args), 1) << output;
        EXPECT_TRUE(has(output, {"bmsim " + args[0] + ": cannot read '", "': Is a directory\n"})) << output;
    }
}

// How runs end: one that a second run of the board meets is refused naming it; the last of
// --power-cycles N starts ending in a reboot says so and exits with 4; a script's stop ends the
// run with 0, and a final sleep may meet the board's end; a program killed by a signal is logged
// so.
TEST_F(Bmsim, RunsEndSayingWhyWithTheirOwnStatus) {
    boot(boot_script(board, "echo READY; sleep 30\n"));
    ASSERT_TRUE(shows({"READY"}));
    EXPECT_EQ(bmsim({"boot", board, "--timeout", "5"}), 125);
    EXPECT_EQ(output, "bmsim boot: the board '" + board + "' is already booting (bmsim boot, process " +
                          std::to_string(session.pid) + ")\n");
    session.stop();

    EXPECT_EQ(bmsim(with({"boot", board, "--power-cycles", "2"}, boot_script(board, "echo UP; reboot\n"))), 4);
    EXPECT_TRUE(has(output, {"UP", "start 2 of 2", "UP", "bmsim: the switch rebooted; 2 starts were allowed\n"}));
    EXPECT_EQ(run_script("expect UP\nstop\n", "echo UP; read line\n"), 0) << output;
    EXPECT_EQ(run_script("expect UP\nsleep 5\n", "echo UP; exit 6\n"), 6) << output;
    EXPECT_EQ(bmsim(with({"boot", board}, boot_script(board, "kill -9 $$\n"))), 128 + 9);
    EXPECT_TRUE(has(log(), {"init: program killed by signal 9\n", "ended: killed by signal 9\n"}));
}

// --escape chooses another escape key, whose doubling types it; a file to send waits for its
// receiver while the keys still reach the switch, shows how much went at what rate, and is
// cancelled by the escape key and c. --escape none passes every byte. A script's file that no
// receiver asks for is given up.
TEST_F(Bmsim, EscapeKeyOfChoiceOrNoneAndASendThatWaitsForItsReceiverOrIsCancelled) {
    write_binary_file(board + "/file", pattern_bytes(2048, 9));
    boot(with({"--escape", "^A"}, boot_script(board, R"SH(stty raw -echo; echo READY
dd bs=1 count=2 2>/dev/null | od -An -tx1; stty sane; echo "LINE?"; read line; echo "GOT $line"
stty raw -echo; rx /tmp/got 2>/dev/null; stty sane; echo "md5 $(md5sum < /tmp/got)"; read line
)SH")),
         /*on_terminal=*/true);
    ASSERT_TRUE(shows({"Ctrl-A q stops the board", "READY"}));
    session.send("\x1d\x01\x01");
    // A line typed before the script's terminal is back in canonical mode would keep its bare CR.
    ASSERT_TRUE(shows({" 1d 01", "LINE?"}));
    session.send("\x01s");
    ASSERT_TRUE(shows({"file to send: "}));
    session.send(board + "/file\r");
    ASSERT_TRUE(shows({"once the receiver asks; the escape key and c cancel it"}));
    session.send("typed\r");
    ASSERT_TRUE(shows({"GOT typed", "md5 " + md5_of(board + "/file")}));
    for (int wait = 0; wait < 20 && !contains(session.output, "file' sent: "); ++wait) watch(0.1);
    EXPECT_TRUE(has(session.output, {"file' sent: 2048 of 2048 bytes in ", " KB/s)"}));
    session.send("\x01s");
    ASSERT_TRUE(shows({"file to send: "}));
    session.send(board +
                 "/file\r\x01"
                 "c");
    ASSERT_TRUE(shows({"sending '" + board + "/file' cancelled"}));
    session.send("\x01q");
    ends(0);

    boot(with({"--escape", "none"},
              boot_script(board, "stty raw -echo; echo READY; dd bs=1 count=2 2>/dev/null | od -An -tx1\n")),
         /*on_terminal=*/true);
    ASSERT_TRUE(shows({"no escape key: every key goes to the switch", "READY"}));
    session.send("\x1dq");
    ASSERT_TRUE(shows({" 1d 71"}));
    ends(0);

    write_text(board + "/send.script", "sendfile " + board + "/file\n");
    Texts program = boot_script(board, "echo UP; sleep 20\n");
    EXPECT_EQ(shell("BMSIM_SEND_WAIT=1 " BMSIM_PATH " boot " + board + " --script " + board + "/send.script " +
                    program[0] + " " + program[1] + " " + program[2] + " 2>&1"),
              3);
    EXPECT_TRUE(has(output, {"no receiver asked for '" + board + "/file' within 1 s: nothing sent"})) << output;
}

}  // namespace
