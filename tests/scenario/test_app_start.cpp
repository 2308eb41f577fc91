// Starting the unpacked application on the simulated board: install script and environment,
// the shell, the incompatible-image question and each way of launching.
#include <gtest/gtest.h>

#include <chrono>

#include "slot_board.h"

namespace {

using namespace slot_board;

const AppFile SHOW_PRELOAD = {"home/bin/mp.elf.strip",
                              "#!/bin/sh\necho \"APPLICATION RUNNING with LD_PRELOAD=$LD_PRELOAD.\"\n", true};

struct AppStart : ::testing::Test {
    std::string board = new_board();

    void SetUp() override { set_eeprom(board, "0x100", "1"); }
    void put_app(const std::vector<AppFile>& tree) { put_slot(board, 1, app_image(tree)); }
    std::string launcher_env() { return read_text_file(board + "/backtrace.env"); }
};

// The launcher takes over the process with the environment built from env-setup, and the start
// ends with the application's own exit.
TEST_F(AppStart, NormalLaunchHandsTheProcessToTheLauncher) {
    put_app(tree_with("one", {{"home/bin/env-setup", "APP_GREETING hello-from-one\nBM_SECOND  2\tBM_LONE\n"}}));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Running install script")) << session.output;
    EXPECT_TRUE(expect(session, "install.sh of one ran")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION one RUNNING")) << session.output;
    EXPECT_TRUE(expect(session, "APP_GREETING=hello-from-one")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string log = board_log(board);
    EXPECT_TRUE(contains(log, "\n/bin/backtrace\n")) << log;
    EXPECT_TRUE(contains(log, "ended: application launched by /bin/backtrace, exit status 0")) << log;
    EXPECT_FALSE(contains(log, "reboot")) << log;
    std::string env = launcher_env();
    EXPECT_TRUE(contains(env, "APP_GREETING=hello-from-one\n")) << env;
    EXPECT_TRUE(contains(env, "BM_SECOND=2\n")) << env;
    EXPECT_TRUE(contains(env, "BM_LONE=\n")) << env;
    EXPECT_TRUE(contains(env, "BMSIM_BOARD=/sim\n")) << env;  // the program's own environment stays
    EXPECT_EQ(read_text_file(board + "/backtrace.cwd"), "/\n");
}

TEST_F(AppStart, EnvSetupWithoutInstallScriptIsIgnored) {
    put_app(tree_with("one", {{"home/bin/install.sh", "-"}}));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION one RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_FALSE(contains(session.output, "Running install script")) << session.output;
    EXPECT_FALSE(contains(launcher_env(), "APP_GREETING")) << launcher_env();
}

TEST_F(AppStart, DebugServerRunsThroughTheShellOnTheGivenPortThenReboots) {
    set_env(board, {"gdbserver=on", "gdbport=4321"});
    put_app(standard_app_tree("one"));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string log = board_log(board);
    EXPECT_TRUE(contains(log, "/bin/gdbserver :4321 /tmp/home/bin/mp.elf.strip\n")) << log;
    EXPECT_TRUE(contains(log, "reboot requested")) << log;
    EXPECT_FALSE(contains(log, "/bin/backtrace")) << log;
    // The debugger is fetched only for gdb alone, never for the debug server.
    EXPECT_FALSE(contains(session.output, "Extracting GDB")) << session.output;
}

TEST_F(AppStart, DebugServerWithMemoryCheckerUsesTheDefaultPort) {
    set_env(board, {"gdbserver=on", "memchk=on"});
    put_app(standard_app_tree("one"));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string log = board_log(board);
    EXPECT_TRUE(contains(log, "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\n")) << log;
    EXPECT_TRUE(contains(log, "reboot requested")) << log;
}

TEST_F(AppStart, MemoryCheckerPreloadsItsLibraryThenReboots) {
    set_env(board, {"memchk=on"});
    put_app(tree_with("one", {SHOW_PRELOAD}));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "APPLICATION RUNNING with LD_PRELOAD=libduma.so.0.0.0.")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string log = board_log(board);
    EXPECT_TRUE(contains(log, "reboot requested")) << log;
    EXPECT_FALSE(contains(log, "/bin/backtrace")) << log;
}

// Without a debugger the normal launch follows, and the memory checker is not applied.
TEST_F(AppStart, GdbWithoutDebuggerFallsBackToTheNormalLaunch) {
    set_env(board, {"gdb=on", "memchk=on"});
    put_app(tree_with("one", {SHOW_PRELOAD}));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Extracting GDB from image slot 2")) << session.output;
    EXPECT_TRUE(expect(session, "**** GDB mode selected but GDB not available. Please install GDB image ***"))
        << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION RUNNING with LD_PRELOAD=.")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_TRUE(contains(board_log(board), "ended: application launched by /bin/backtrace")) << board_log(board);
}

// The other slot holds a debugger image: its payload becomes /tmp/gdb, which runs the
// application and then the switch reboots.
TEST_F(AppStart, GdbWithDebuggerRunsTheApplicationUnderItThenReboots) {
    set_env(board, {"gdb=on"});
    put_app(standard_app_tree("one"));
    std::vector<uint8_t> debugger_gz = gzipped("#!/bin/sh\necho \"GDB STAND-IN debugging $1\"\n");
    put_slot(board, 2, image_of(0x01504754, VERSION_TWO, debugger_gz));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "Extracting GDB from image slot 2")) << session.output;
    EXPECT_TRUE(expect(session, "*** Launching under GDB ***")) << session.output;
    EXPECT_TRUE(expect(session, "GDB STAND-IN debugging /tmp/home/bin/mp.elf.strip")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    std::string log = board_log(board);
    EXPECT_TRUE(contains(log, "reboot requested")) << log;
    EXPECT_FALSE(contains(log, "/bin/backtrace")) << log;
}

TEST_F(AppStart, ShellRunsBeforeTheLaunch) {
    set_env(board, {"shell=on"});
    put_app(standard_app_tree("one"));
    ConsoleSession session = start_boot(board, FAST);
    ASSERT_TRUE(expect(session, "Dropping into shell")) << session.output;
    send_keys(session, "echo shell-$((6*7))\nexit\n");
    EXPECT_TRUE(expect(session, "shell-42")) << session.output;
    EXPECT_TRUE(expect(session, "Dropping out of shell")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION one RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
}

// A tree without distro-id asks before going on; any key but y/Y goes on at once.
TEST_F(AppStart, IncompatibleImageQuestionAnsweredNoGoesOn) {
    put_app(tree_with("alien", {{"home/bin/distro-id", "-"}}));
    ConsoleSession session = start_boot(board, FAST);
    EXPECT_TRUE(expect(session, "WARNING: Suspected incompatible application image detected during unpacking"))
        << session.output;
    ASSERT_TRUE(expect(session, "Would you like to enter recovery mode to download a new image? y/N: "))
        << session.output;
    send_keys(session, "n");
    EXPECT_TRUE(expect(session, "APPLICATION alien RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
    EXPECT_FALSE(contains(session.output, "Entering Rescue Mode.")) << session.output;
}

TEST_F(AppStart, IncompatibleImageQuestionAnsweredYesOpensRescueMenuThenGoesOn) {
    put_app(tree_with("alien", {{"home/bin/distro-id", "-"}}));
    ConsoleSession session = start_boot(board, FAST);
    ASSERT_TRUE(expect(session, "Would you like to enter recovery mode to download a new image? y/N: "))
        << session.output;
    send_keys(session, "Y");
    ASSERT_TRUE(expect(session, "Entering Rescue Mode.")) << session.output;
    ASSERT_TRUE(expect(session, "Option? : ")) << session.output;
    send_keys(session, "E");
    EXPECT_TRUE(expect(session, "Running install script")) << session.output;
    EXPECT_TRUE(expect(session, "APPLICATION alien RUNNING")) << session.output;
    EXPECT_EQ(wait_exit(session), 0) << session.output;
}

// At the real time scale the start pauses one second before unpacking.
TEST_F(AppStart, PausesOneRealSecondBeforeUnpacking) {
    put_app(standard_app_tree("one"));
    ConsoleSession session = start_boot(board, {"--timeout", "60"});
    ASSERT_TRUE(expect(session, "Booting image '1'")) << session.output;
    auto booting = std::chrono::steady_clock::now();
    ASSERT_TRUE(expect(session, "Running install script")) << session.output;
    std::chrono::duration<double> waited = std::chrono::steady_clock::now() - booting;
    EXPECT_GE(waited.count(), 0.95);
    EXPECT_EQ(wait_exit(session), 0) << session.output;
}

}  // namespace
