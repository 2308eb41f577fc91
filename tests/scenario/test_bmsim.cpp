// bmsim, the simulated board's front end: its board commands, and `bmsim boot` with its
// sandbox, console, stubs, time-out, power cycles and log. The sandbox's own tests boot small
// busybox scripts in place of the program (--program) to look at the switch from inside.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/app_tree.h"
#include "support/console_driver.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> FAST = {"--time-scale", "0.05", "--timeout", "60"};

void write_text(const std::string& path, const std::string& text) {
    write_binary_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// A busybox script booted in place of the program.
std::vector<std::string> boot_script(const std::string& board, const std::string& body,
                                     std::vector<std::string> args = {"--timeout", "30"}) {
    std::string path = board + "/program.sh";
    write_text(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    args.insert(args.end(), {"--program", path});
    return args;
}

// bmsim boot with standard input from a pipe that holds the given keys and then ends.
int boot_with_input(const std::vector<std::string>& args, const std::string& keys, std::string* output) {
    int input[2];
    int result[2];
    if (pipe(input) != 0 || pipe(result) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(result[1], STDOUT_FILENO);
        dup2(result[1], STDERR_FILENO);
        close_range(3, ~0U, 0);
        std::vector<char*> argv = {const_cast<char*>(BMSIM_PATH)};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(input[0]);
    close(result[1]);
    if (write(input[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) return -1;
    close(input[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;) output->append(buffer, static_cast<size_t>(n));
    close(result[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

// ---- new, env, eeprom, flash ----

TEST(BmsimNew, MakesAnErasedBoardWithEmptyImagesFolder) {
    std::string board = new_board();
    std::vector<uint8_t> eeprom = read_binary_file(board + "/eeprom.bin");
    EXPECT_EQ(eeprom.size(), 65536u);
    EXPECT_TRUE(std::all_of(eeprom.begin(), eeprom.end(), [](uint8_t b) { return b == 0xFF; }));
    for (const char* name : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
        std::vector<uint8_t> flash = read_binary_file(board + "/mtd/" + name + ".bin");
        EXPECT_FALSE(flash.empty()) << name;
        EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; })) << name;
    }
    EXPECT_TRUE(fs::is_directory(board + "/user/images"));
    EXPECT_TRUE(fs::is_empty(board + "/user/images"));
    EXPECT_FALSE(fs::exists(board + "/usb.inserted"));
}

TEST(BmsimNew, RenewsAnOldBoardCompletely) {
    std::string board = new_board();
    ASSERT_EQ(run_bmsim({"eeprom", board, "0x100", "2"}), 0);
    ASSERT_EQ(run_bmsim({"usb", board, "insert"}), 0);
    write_text(board + "/user/images/image1", "old");
    write_text(board + "/log", "old\n");
    ASSERT_EQ(run_bmsim({"new", board}), 0);
    EXPECT_EQ(read_binary_file(board + "/eeprom.bin")[0x100], 0xFF);
    EXPECT_TRUE(fs::is_empty(board + "/user/images"));
    EXPECT_FALSE(fs::exists(board + "/usb.inserted"));
    EXPECT_FALSE(fs::exists(board + "/log"));
}

TEST(BmsimNew, RefusesAFolderHoldingOtherFiles) {
    std::string board = new_board();
    std::string folder = board + "/user/images";
    write_text(folder + "/precious", "keep me");
    std::string output;
    EXPECT_NE(run_bmsim({"new", folder}, &output), 0);
    EXPECT_TRUE(contains(output, "not an empty folder or a board")) << output;
    EXPECT_EQ(read_text_file(folder + "/precious"), "keep me");
}

TEST(BmsimEnv, WritesZeroTerminatedSettingsAfterTheChecksum) {
    std::string board = new_board();
    ASSERT_EQ(run_bmsim({"env", board, "gdbport=4321", "diagnostics=rescue"}), 0);
    std::vector<uint8_t> block = read_binary_file(board + "/mtd/ubootenv.bin");
    std::string expected("gdbport=4321\0diagnostics=rescue\0\0", 33);
    ASSERT_GE(block.size(), 4 + expected.size());
    EXPECT_EQ(std::string(block.begin() + 4, block.begin() + 4 + static_cast<long>(expected.size())), expected);
    EXPECT_NE(std::vector<uint8_t>(block.begin(), block.begin() + 4), std::vector<uint8_t>(4, 0xFF));
}

TEST(BmsimEnv, ProgramFollowsTheEnvironment) {
    std::string board = new_board();
    ASSERT_EQ(run_bmsim({"env", board, "diagnostics=rescue"}), 0);
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Entering Rescue Mode.")) << session.output;
    EXPECT_TRUE(expect(session, "Option? :")) << session.output;
    EXPECT_FALSE(contains(session.output, "Booting image")) << session.output;
    send_keys(session, "R");
    EXPECT_EQ(wait_exit(session), 0) << session.output;
}

TEST(BmsimEnv, RefusesAWordWithoutValue) {
    std::string board = new_board();
    std::string output;
    EXPECT_EQ(run_bmsim({"env", board, "diagnostics"}, &output), 2);
    EXPECT_TRUE(contains(output, "'diagnostics' is not a setting NAME=VALUE")) << output;
}

TEST(BmsimEeprom, WritesAndReadsOneByteInDecimalOrHex) {
    std::string board = new_board();
    std::string output;
    ASSERT_EQ(run_bmsim({"eeprom", board, "0x13B", "213"}), 0);
    EXPECT_EQ(read_binary_file(board + "/eeprom.bin")[0x13B], 0xD5);
    ASSERT_EQ(run_bmsim({"eeprom", board, "315"}, &output), 0);
    EXPECT_EQ(output, "0xd5\n");
    ASSERT_EQ(run_bmsim({"eeprom", board, "0x13a"}, &output), 0);
    EXPECT_EQ(output, "0xff\n");
}

TEST(BmsimEeprom, RefusesOffsetsAndValuesOutOfRange) {
    std::string board = new_board();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"0x10000"}, {"65536"}, {"0x100", "256"}, {"0x100", "0x"}, {"-1"}, {"12abc"}, {"0x100", "2", "3"}}) {
        std::string output;
        EXPECT_EQ(run_bmsim(with({"eeprom", board}, args), &output), 2) << args[0] << output;
    }
    EXPECT_EQ(read_binary_file(board + "/eeprom.bin")[0x100], 0xFF);
}

TEST(BmsimFlash, WritesAFileAtOffsetZeroAndKeepsTheRest) {
    std::string board = new_board();
    size_t size = read_binary_file(board + "/mtd/kernel.bin").size();
    write_text(board + "/kernel.img", "KERNEL");
    ASSERT_EQ(run_bmsim({"flash", board, "kernel", board + "/kernel.img"}), 0);
    std::vector<uint8_t> flash = read_binary_file(board + "/mtd/kernel.bin");
    ASSERT_EQ(flash.size(), size);
    EXPECT_EQ(std::string(flash.begin(), flash.begin() + 6), "KERNEL");
    EXPECT_EQ(flash[6], 0xFF);
}

TEST(BmsimFlash, RefusesUnknownPartitionsAndMissingFiles) {
    std::string board = new_board();
    write_text(board + "/file", "x");
    std::string output;
    EXPECT_EQ(run_bmsim({"flash", board, "kernal", board + "/file"}, &output), 2);
    EXPECT_TRUE(contains(output, "unknown partition 'kernal'")) << output;
    EXPECT_NE(run_bmsim({"flash", board, "kernel", board + "/absent"}, &output), 0);
}

TEST(BmsimCommands, ExplainThemselvesAndRefuseBadUsage) {
    std::string output;
    EXPECT_EQ(run_bmsim({"--help"}, &output), 0);
    EXPECT_TRUE(contains(output, "boot DIR")) << output;
    for (const char* command : {"new", "env", "eeprom", "flash", "usb", "boot", "log"}) {
        EXPECT_EQ(run_bmsim({command, "--help"}, &output), 0) << command;
        EXPECT_TRUE(contains(output, std::string("usage: bmsim ") + command)) << output;
    }
    EXPECT_EQ(run_bmsim({}, &output), 2);
    EXPECT_EQ(run_bmsim({"reboot"}, &output), 2);
    EXPECT_EQ(run_bmsim({"log", "/nonexistent-board"}, &output), 1);
    EXPECT_TRUE(contains(output, "is not a board directory")) << output;
}

// ---- the sandbox ----

TEST(BmsimSandbox, HoldsOnlyBusyboxTheStubsAndTheProgram) {
    std::string board = new_board();
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
    for (const auto& line : lines_of(output)) {
        if (line.rfind("LINK ", 0) == 0) {
            EXPECT_TRUE(line.ends_with(" /bin/busybox")) << line;
        } else if (line.rfind("FILE ", 0) == 0) {
            files.push_back(line.substr(5));
        }
    }
    std::vector<std::string> expected = {"/bin/backtrace", "/bin/busybox",     "/bin/gdbserver",
                                         "/bin/mount",     "/bin/umount",      "/sbin/bootmanager",
                                         "/sbin/reboot",   "/usr/bin/rx",      "/usr/sbin/flash_eraseall"};
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expected) << output;
    EXPECT_TRUE(contains(output, "LINK /bin/sh /bin/busybox")) << output;
    EXPECT_TRUE(contains(output, "LINK /usr/bin/find /bin/busybox")) << output;
    EXPECT_TRUE(contains(output, "NO PASSWD")) << output;
    EXPECT_TRUE(contains(output, "TMP EMPTY")) << output;
    EXPECT_TRUE(contains(output, "HOST switch")) << output;
}

TEST(BmsimSandbox, BoardFoldersAreSharedAndTmpIsPrivateToEachStart) {
    std::string board = new_board();
    write_text(board + "/user/images/image1", "slot one");
    std::string output;
    auto args = boot_script(board, R"SH(
cat /user/images/image1; echo
echo written > /user/from-inside
ls /tmp/mark 2>/dev/null && echo "TMP KEPT"
touch /tmp/mark
reboot
)SH");
    EXPECT_EQ(run_bmsim(with({"boot", board, "--power-cycles", "2"}, args), &output), 0);
    EXPECT_TRUE(contains(output, "slot one")) << output;
    EXPECT_EQ(read_text_file(board + "/user/from-inside"), "written\n");
    EXPECT_FALSE(contains(output, "TMP KEPT")) << output;
}

TEST(BmsimSandbox, InterruptKeyReachesTheProgramNotTheSandbox) {
    std::string board = new_board();
    ConsoleSession session = start_boot(board, boot_script(board, R"SH(
trap 'echo "GOT INT"; exit 5' INT
echo READY
read line
)SH"));
    ASSERT_TRUE(expect(session, "READY")) << session.output;
    send_keys(session, "\x03");
    EXPECT_TRUE(expect(session, "GOT INT", 5)) << session.output;
    EXPECT_EQ(wait_exit(session, 10), 5) << session.output;
    EXPECT_TRUE(contains(read_text_file(board + "/log"), "bmsim: start 1 ended: exit status 5\n"));
}

TEST(BmsimSandbox, StubsRecordTheirCommandLinesAndActOnUser) {
    std::string board = new_board();
    write_text(board + "/user/images/image1", "image");
    ConsoleSession session = start_boot(board, boot_script(board, R"SH(
/bin/mount -o sync -t jffs2 /dev/mtd-user /user
[ -e /user/images/image1 ] && echo "USER KEPT"
/bin/umount /user
flash_eraseall /dev/mtd-user-char
[ -z "$(ls /user)" ] && echo "USER EMPTY"
/bin/gdbserver :4321 /tmp/home/bin/mp.elf.strip && echo "GDBSERVER RETURNED"
mkdir -p /tmp/home/bin
printf '#!/bin/sh\necho "APP RUNS: $GREETING"\nexit 6\n' > /tmp/home/bin/mp.elf.strip
chmod +x /tmp/home/bin/mp.elf.strip
cd /tmp
export GREETING=hello
exec /bin/backtrace
)SH"));
    EXPECT_EQ(wait_exit(session), 6) << session.output;
    EXPECT_TRUE(contains(session.output, "USER KEPT")) << session.output;
    EXPECT_TRUE(contains(session.output, "USER EMPTY")) << session.output;
    EXPECT_TRUE(contains(session.output, "GDBSERVER RETURNED")) << session.output;
    EXPECT_TRUE(contains(session.output, "APP RUNS: hello")) << session.output;
    std::vector<std::string> expected = {
        "bmsim: start 1",
        "/bin/mount -o sync -t jffs2 /dev/mtd-user /user",
        "/bin/umount /user",
        "/usr/sbin/flash_eraseall /dev/mtd-user-char",
        "/bin/gdbserver :4321 /tmp/home/bin/mp.elf.strip",
        "/bin/backtrace",
        "bmsim: start 1 ended: application launched by /bin/backtrace, exit status 6",
    };
    EXPECT_EQ(lines_of(read_text_file(board + "/log")), expected);
    EXPECT_TRUE(contains(read_text_file(board + "/backtrace.env"), "GREETING=hello\n"));
    EXPECT_EQ(read_text_file(board + "/backtrace.cwd"), "/tmp\n");
}

// The receiver starts on a key sent once the sender listens, so that its first request reaches
// the sender, not the test. The sender may go on waiting for more after the receiver is done,
// reading the console meanwhile: the script leaves its findings in the board folder.
TEST(BmsimSandbox, ReceiverIsLrzszInItsUnrestrictedMode) {
    std::string board = new_board();
    std::vector<uint8_t> sent;
    for (int i = 0; i < 3000; ++i) sent.push_back(static_cast<uint8_t>(i * 7 % 256));
    write_binary_file(board + "/sent.bin", sent);
    ConsoleSession session = start_boot(board, boot_script(board, R"SH(
stty -echo
echo READY
read go
/usr/bin/rx /tmp/image 2>/dev/null
echo "$?" > /sim/rx.status.new
cp /tmp/image /sim/received.bin
mv /sim/rx.status.new /sim/rx.status
)SH"));
    ASSERT_TRUE(expect(session, "READY")) << session.output;
    pid_t sender = fork();
    if (sender == 0) {
        dup2(session.master, STDIN_FILENO);
        dup2(session.master, STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execlp("sx", "sx", "-k", (board + "/sent.bin").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    send_keys(session, "\r");
    for (int i = 0; i < 300 && !fs::exists(board + "/rx.status"); ++i) usleep(100000);
    kill(sender, SIGTERM);
    waitpid(sender, nullptr, 0);
    EXPECT_EQ(read_text_file(board + "/rx.status"), "0\n");
    // XMODEM pads the last block with 0x1A up to its size.
    std::vector<uint8_t> received = read_binary_file(board + "/received.bin");
    ASSERT_GE(received.size(), sent.size());
    EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.begin() + 3000), sent);
    EXPECT_TRUE(std::all_of(received.begin() + 3000, received.end(), [](uint8_t b) { return b == 0x1A; }));
    EXPECT_EQ(wait_exit(session), 0);
    EXPECT_TRUE(contains(read_text_file(board + "/log"), "/usr/bin/rx /tmp/image\n"));
}

// ---- usb ----

TEST(BmsimUsb, InsertedStickIsMountedAndItsMarkerComesAfterTheDelay) {
    std::string board = new_board();
    ASSERT_EQ(run_bmsim({"usb", board, "insert", "--ready-after", "5"}), 0);
    write_text(board + "/usb/NXR4417_OS.img", "stick");
    // Five seconds on the board's clock are half a second here.
    auto args = boot_script(board, R"SH(
ls /mnt/usb
[ -e /tmp/usb ] || echo "NOT READY YET"
sleep 1.5
[ -e /tmp/usb ] && echo "READY NOW"
)SH",
                            {"--timeout", "30", "--time-scale", "0.1"});
    std::string output;
    EXPECT_EQ(run_bmsim(with({"boot", board}, args), &output), 0);
    EXPECT_TRUE(contains(output, "NXR4417_OS.img")) << output;
    EXPECT_TRUE(contains(output, "NOT READY YET")) << output;
    EXPECT_TRUE(contains(output, "READY NOW")) << output;
}

TEST(BmsimUsb, RemovedStickLeavesMountPointEmptyAndKeepsItsFiles) {
    std::string board = new_board();
    ASSERT_EQ(run_bmsim({"usb", board, "insert"}), 0);
    write_text(board + "/usb/NXR4417_OS.img", "stick");
    ASSERT_EQ(run_bmsim({"usb", board, "remove"}), 0);
    std::string output;
    EXPECT_EQ(run_bmsim(with({"boot", board}, boot_script(board, R"SH(
[ -z "$(ls /mnt/usb)" ] && echo "NO STICK"
sleep 0.3
[ -e /tmp/usb ] || echo "NO MARKER"
)SH")),
                        &output),
              0);
    EXPECT_TRUE(contains(output, "NO STICK")) << output;
    EXPECT_TRUE(contains(output, "NO MARKER")) << output;
    EXPECT_EQ(read_text_file(board + "/usb/NXR4417_OS.img"), "stick");
}

TEST(BmsimUsb, RefusesBadUsage) {
    std::string board = new_board();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"plug"}, {"insert", "--ready-after"}, {"insert", "--ready-after", "soon"}, {"remove", "now"}}) {
        EXPECT_EQ(run_bmsim(with({"usb", board}, args)), 2);
    }
    EXPECT_FALSE(fs::exists(board + "/usb.inserted"));
}

// ---- boot: console, time-out, power cycles, log ----

TEST(BmsimBoot, InputIsTypedAndTheConsoleStaysOpenAfterItEnds) {
    std::string board = new_board();
    std::string output;
    auto args = boot_script(board, R"SH(
read line
echo "GOT [$line]"
read line
echo "SECOND READ ENDED $?"
)SH",
                            {"--timeout", "1.5"});
    EXPECT_EQ(boot_with_input(with({"boot", board}, args), "hello\n", &output), 124);
    EXPECT_TRUE(contains(output, "GOT [hello]")) << output;
    EXPECT_FALSE(contains(output, "SECOND READ ENDED")) << output;
    EXPECT_TRUE(contains(output, "bmsim: time-out after 1.5 seconds: the board was stopped")) << output;
    EXPECT_TRUE(contains(read_text_file(board + "/log"), "bmsim: start 1 ended: time-out after 1.5 s, stopped\n"));
}

TEST(BmsimBoot, PowerCyclesStartTheProgramAgainAfterEachReboot) {
    std::string board = new_board();
    std::vector<uint8_t> bad = standard_app_image("bad", 0x01000000);
    bad.back() ^= 0xFF;
    write_binary_file(board + "/user/images/image1", bad);
    write_binary_file(board + "/user/images/image2", bad);
    ConsoleSession session = start_boot(board, with(FAST, {"--power-cycles", "3"}));
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string log = read_text_file(board + "/log");
    for (const char* start : {"1", "2", "3"})
        EXPECT_TRUE(contains(log, std::string("bmsim: start ") + start + " ended: reboot requested, exit status 0"))
            << log;
    EXPECT_FALSE(contains(log, "bmsim: start 4")) << log;
    EXPECT_TRUE(contains(session.output, "bmsim: the switch reboots: start 3 of 3")) << session.output;
}

TEST(BmsimBoot, StartWithoutRebootEndsThePowerCycles) {
    std::string board = new_board();
    std::string output;
    EXPECT_EQ(run_bmsim(with({"boot", board, "--power-cycles", "3"}, boot_script(board, "exit 4\n")), &output), 4);
    std::string log = read_text_file(board + "/log");
    EXPECT_TRUE(contains(log, "bmsim: start 1 ended: exit status 4\n")) << log;
    EXPECT_FALSE(contains(log, "bmsim: start 2")) << log;
}

TEST(BmsimBoot, ApplicationLaunchIsLogged) {
    std::string board = new_board();
    write_binary_file(board + "/user/images/image1", standard_app_image("one", 0x01000000));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION one RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string log;
    ASSERT_EQ(run_bmsim({"log", board}, &log), 0);
    EXPECT_EQ(log, read_text_file(board + "/log"));
    EXPECT_TRUE(contains(log, "/bin/backtrace\n")) << log;
    EXPECT_TRUE(contains(log, "bmsim: start 1 ended: application launched by /bin/backtrace, exit status 0")) << log;
    EXPECT_TRUE(contains(read_text_file(board + "/backtrace.env"), "APP_GREETING=hello-from-one\n"));
}

TEST(BmsimBoot, SigtermStopsTheBoardAndIsLogged) {
    std::string board = new_board();
    ConsoleSession session = start_boot(board, boot_script(board, "echo READY\nsleep 30\n"));
    ASSERT_TRUE(expect(session, "READY")) << session.output;
    kill(session.pid, SIGTERM);
    EXPECT_EQ(wait_exit(session, 10), 128 + SIGTERM) << session.output;
    EXPECT_TRUE(contains(session.output, "bmsim: the board was stopped")) << session.output;
    EXPECT_TRUE(contains(read_text_file(board + "/log"), "bmsim: start 1 ended: stopped\n"));
}

TEST(BmsimBoot, InteractiveTerminalIsRawDuringTheBootAndRestoredAfter) {
    std::string board = new_board();
    auto args = with({"boot", board}, boot_script(board, "echo READY\nsleep 0.5\n"));
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        for (int fd = 0; fd < 3; ++fd) dup2(slave, fd);
        close_range(3, ~0U, 0);
        std::vector<char*> argv = {const_cast<char*>(BMSIM_PATH)};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    // The terminal's settings, read through a second descriptor of its master side.
    int probe = dup(master);
    ConsoleSession session;
    session.master = master;
    session.pid = pid;
    termios mode = {};
    ASSERT_TRUE(expect(session, "READY")) << session.output;
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    tcgetattr(probe, &mode);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
    close(probe);
}

TEST(BmsimBoot, RefusesBadOptionsAndMissingPieces) {
    std::string board = new_board();
    std::string output;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--timeout", "0"}, {"--timeout", "x"}, {"--power-cycles", "0"}, {"--time-scale", "-1"}, {"--fast"},
             {"--timeout"}}) {
        EXPECT_EQ(run_bmsim(with({"boot", board}, args), &output), 2) << args[0];
    }
    EXPECT_EQ(run_bmsim({"boot", board, "--program", board + "/absent"}, &output), 125);
    EXPECT_TRUE(contains(output, "program '" + board + "/absent' not found")) << output;
    EXPECT_EQ(run_bmsim({"boot", board + "/user"}, &output), 125);
}

}  // namespace
