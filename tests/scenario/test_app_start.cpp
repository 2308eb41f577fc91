// Starting the unpacked application on the simulated board: install script and environment,
// the shell, the incompatible-image question, each way of launching, and the debugger taken
// from the other slot.
// Faults tried: removing the memory checker's LD_PRELOAD prefix of the debug-server launch, or of
// the plain memory-checker launch -> AppStart.DebugServerOrMemoryCheckerRunsAfterTheShellThenReboots
// fails; removing i2c_close_buses() from start_application ->
// AppStart.GdbWithoutUsableDebuggerFallsBackToTheNormalLaunch fails; moving it before the
// incompatible-image question -> AppStart.GdbFromTheOtherSlotRunsTheApplicationThenReboots fails;
// bmsim passing ASAN_OPTIONS in every build -> AppStart.NormalLaunchHandsTheProcessToTheLauncher
// fails in a build without sanitizers.
#include "scenario_board.h"

namespace {

using AppStart = Scenario;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZER_BUILD = true;
#else
constexpr bool SANITIZER_BUILD = false;
#endif

// The application shows the library preloaded for it and the files it inherited, so that a file
// left open by the debugger's extraction shows.
const AppFile SHOW_APP = {"home/bin/mp.elf.strip",
                          "#!/bin/sh\necho \"APPLICATION RUNNING with LD_PRELOAD=$LD_PRELOAD.\"\n"
                          "for f in /proc/$$/fd/*; do echo \"inherited: $(readlink $f)\"; done\n",
                          true};
const char* const RECOVERY_QUESTION = "Would you like to enter recovery mode to download a new image? y/N: ";

// A gzipped debugger of about 230 kB, not a whole number of the blocks it is copied in: a script
// padded with comment lines of random text, which gzip cannot shrink much. Its last line shows
// whether the whole content arrived.
Bytes gzipped_debugger() {
    std::string gz;
    run_command(R"({ echo '#!/bin/sh'; head -c 225000 /dev/urandom | base64 | sed 's/^/#/';
                     echo 'echo "DEBUGGER RUNS $*"; exec "$@"'; } | gzip -n)",
                &gz);
    return Bytes(gz.begin(), gz.end());
}

// The launcher takes over the process with the environment built from env-setup. Slot 1 claims
// a length its file cannot hold: the CRC-failure path, without taking memory of that size. Slot 2
// holds a package of a kernel image and the application image.
TEST_F(AppStart, NormalLaunchHandsTheProcessToTheLauncher) {
    set_eeprom("0x100", "1");
    put_slot(1, claiming(app_image("huge"), 0xFFFFFF00));
    const std::string show_ignored = "sed -n 's/^SigIgn:[[:space:]]*/ignores /p' /proc/self/status\n";
    std::vector<AppFile> tree = tree_with(
        "one",
        {{"home/bin/env-setup", "APP_GREETING hello-from-one\nBM_SECOND  2\tBM_LONE\n"},
         {"home/bin/install.sh", "#!/bin/sh\necho \"install.sh of one ran\"\n" + show_ignored, true},
         {"home/bin/mp.elf.strip",
          "#!/bin/sh\necho \"APPLICATION one RUNNING\"\n" + show_ignored + "echo \"APP_GREETING=$APP_GREETING\"\n",
          true}});
    put_slot(2, joined({flash_image(IMAGE_KERNEL, 300, 1), app_image(tree)}));
    boot_showing({"Image1 CRC failed, trying Image2 now.", "Booting image '2'", "Running install script",
                  "install.sh of one ran", "APPLICATION one RUNNING", "APP_GREETING=hello-from-one"});
    // The boot manager ignores the quit and stop keys (SIGQUIT, SIGTSTP); the install script
    // gets the stop key back (the shell of "sh -c" keeps its own quit key ignored for the command
    // it becomes), the application both.
    auto ignored = [&](const std::string& after) {
        size_t at = session.output.find(after + "\r\nignores ");
        return at == std::string::npos ? ~0ull
                                       : std::stoull(session.output.substr(at + after.size() + 10, 16), nullptr, 16);
    };
    EXPECT_EQ(ignored("install.sh of one ran") & (1ull << (SIGTSTP - 1)), 0u) << session.output;
    EXPECT_EQ(ignored("APPLICATION one RUNNING") & (1ull << (SIGTSTP - 1) | 1ull << (SIGQUIT - 1)), 0u);
    EXPECT_EQ(bmsim_ok({"log", board}), log());
    EXPECT_TRUE(has(log(), {"\n/bin/backtrace\n", "ended: application launched by /bin/backtrace, exit status 0"}));
    EXPECT_TRUE(lacks(log(), {"reboot"}));
    std::string environment = read_text_file(board + "/backtrace.env");
    // the program's own environment stays
    for (const char* line : {"APP_GREETING=hello-from-one\n", "BM_SECOND=2\n", "BM_LONE=\n", "BMSIM_BOARD=/sim\n"})
        EXPECT_TRUE(contains(environment, line)) << line << environment;
    // the simulated board's sanitizer settings, for a sanitizer build of the programs alone
    EXPECT_EQ(contains(environment, "ASAN_OPTIONS="), SANITIZER_BUILD) << environment;
    EXPECT_EQ(read_text_file(board + "/backtrace.cwd"), "/\n");
    EXPECT_EQ(eeprom(0x13A), 2);
}

// The launches that run through the shell and reboot when they end, after the shell that was
// asked for: the debug server on the given or the default port, with the memory checker's library
// preloaded or with no library at all, and the memory checker alone, with its library.
TEST_F(AppStart, DebugServerOrMemoryCheckerRunsAfterTheShellThenReboots) {
    // the case, the settings, what the console shows, the launch in the board log, the debug
    // server's library
    const std::string server = "/bin/gdbserver :", program = " /tmp/home/bin/mp.elf.strip\n",
                      preloaded = "\nLD_PRELOAD=libduma.so.0.0.0\n";
    const std::tuple<const char*, Texts, std::string, std::string, std::string> cases[] = {
        {"memory checker", {"memchk=on"}, "APPLICATION RUNNING with LD_PRELOAD=libduma.so.0.0.0.", "", ""},
        {"debug server on 4321", {"gdbserver=on", "gdbport=4321"}, "", "\n" + server + "4321" + program, ""},
        {"server and checker", {"gdbserver=on", "memchk=on"}, "", "\n" + server + "1234" + program, preloaded}};
    for (const auto& [what, settings, shown, command, preload] : cases) {
        SCOPED_TRACE(what);
        bmsim_ok({"new", board});
        env(with({"shell=on"}, settings));
        put_slot(1, app_image(tree_with("one", {SHOW_APP})));
        boot();
        shows({"Dropping into shell"});
        uses_shell();
        shows({"Dropping out of shell", shown});
        ends();
        EXPECT_TRUE(has(log(), {command, "reboot requested"}));
        std::string server_env = "\n" + read_text_file(board + "/gdbserver.env");
        EXPECT_TRUE(preload.empty() ? lacks(server_env, {"\nLD_PRELOAD="}) : has(server_env, {preload}));
    }
}

// A format-2 header in the other slot never serves as a debugger, and both files are closed all
// the same; without a debugger the normal launch follows, without the memory checker. The tree
// lacks distro-id (answered no: the start goes on) and install.sh (env-setup is ignored).
TEST_F(AppStart, GdbWithoutUsableDebuggerFallsBackToTheNormalLaunch) {
    env({"gdb=on", "memchk=on"});
    put_slot(1, app_image(tree_with("one", {SHOW_APP, {"home/bin/distro-id", "-"}, {"home/bin/install.sh", "-"}})));
    put_slot(2, app_image("two", VERSION_1, 2));
    boot();
    shows({"Extracting GDB from image slot 2", "Image has invalid header 0x81504754",
           "WARNING: Suspected incompatible application image detected during unpacking"});
    answer(RECOVERY_QUESTION, "n");
    shows({"**** GDB mode selected but GDB not available. Please install GDB image ***",
           "APPLICATION RUNNING with LD_PRELOAD=.", "inherited: "});
    ends();
    EXPECT_TRUE(has(log(), {"ended: application launched by /bin/backtrace"}));
    // nor an I2C bus (the device emulator's buses are /dev/null)
    EXPECT_TRUE(
        lacks(session.output, {"Entering Rescue Mode.", "Running install script", "inherited: /tmp/gdb.gz",
                               "inherited: /user/images/image2", "inherited: /dev/i2c-", "inherited: /dev/null"}));
    EXPECT_TRUE(lacks(read_text_file(board + "/backtrace.env"), {"APP_GREETING"}));
}

// The debugger is the payload of the other slot's image; it runs the application, then the
// switch reboots. The tree lacks distro-id: answered yes, the rescue menu opens, where the I2C
// buses still serve an install from the stick into slot 1 (it sets the boot slot), and Exit goes
// on with the start.
TEST_F(AppStart, GdbFromTheOtherSlotRunsTheApplicationThenReboots) {
    env({"gdb=on"});
    put_slot(1, app_image(tree_with("one", {SHOW_APP, {"home/bin/distro-id", "-"}})));
    const Bytes debugger = gzipped_debugger();
    put_slot(2, image_of(IMAGE_APPLICATION, VERSION_1, debugger));
    insert_stick({{"new.img", app_image("new")}});
    boot();
    shows({"Extracting GDB from image slot 2", "Found GDB image 2 of length = " + std::to_string(debugger.size()) + ".",
           "decompressing GDB...."});
    answer(RECOVERY_QUESTION, "Y");
    shows({"Entering Rescue Mode."});
    answer("Option? : ", "U");
    answer("Choose file number to install (q to quit): ", "1\r");
    answer("(hit return to just boot image): ", "1\r");
    shows({"Image1 updated succeeded"});
    answer("Option? : ", "E");
    shows({"Running install script", "*** Launching under GDB ***", "DEBUGGER RUNS /tmp/home/bin/mp.elf.strip",
           "APPLICATION RUNNING with LD_PRELOAD=."});
    ends();
    EXPECT_TRUE(has(log(), {"reboot requested"}));
    EXPECT_TRUE(lacks(session.output, {"inherited: /user/images/image2", "I2C error"}));
    EXPECT_EQ(eeprom(0x100), 1);
}

}  // namespace
