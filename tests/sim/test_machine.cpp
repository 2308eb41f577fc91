// The same scenarios on the switch's virtual machine (bmsim boot --machine qemu: the target
// program on a real kernel's MTD, I2C and serial drivers) and on the simulated board: each runs
// on both with the same checks, and the machine's console must match the simulated board's.
// The machine runs only where scripts/test-machine.sh built it and set BMSIM_MACHINE_DIR.
// Faults tried: /user not unpacked back after the run (sim/machine/start.sh) -> UsbStickBoot/qemu
// and SerialDownloadInstallsKernelAndApplication/qemu fail; the console's pseudo-terminal adding a
// second CR (no `stty -onlcr`), bmsim ignoring --machine qemu, init not restoring the registers of
// the device at 0x20 -> every /qemu case fails; the stick never plugged in through the monitor ->
// StickPluggedInWhileTheSwitchWaits/qemu fails; /user not copied back after a run that wrote it ->
// UsbStickBoot/qemu and ScriptSendsThePackageOfTheDemo/qemu fail; the kept jffs2 image used although
// /user changed on the host, or the registers of 0x20 given to i2cset in decimal ->
// FallbackToSlotTwo/qemu fails; QEMU's console taking Ctrl-C as its own signal (signal=on) ->
// EscapeKeysBreakSendAPackageAndStop/qemu fails; init not showing the board's keys at
// /etc/bootmanager/keys -> SignedPackageOverSerialDownloadOnASwitchWithAKey/qemu fails.
#include <fcntl.h>

#include <map>

#include "scenario/signed_board.h"
#include "scenario/xmodem_sender.h"

namespace {

struct OnMachine : XmodemScenario, ::testing::WithParamInterface<std::string> {
    static inline std::map<std::string, std::map<std::string, std::string>> sandbox_outcomes;  // by test
    bool machine() { return GetParam() == "qemu"; }
    void SetUp() override {
        if (machine() && !std::getenv("BMSIM_MACHINE_DIR"))
            GTEST_SKIP() << "the virtual machine is not built (scripts/test-machine.sh runs these)";
    }
    void boot_on_backend(const Texts& extra = {}, bool on_terminal = false) {
        boot(with(machine() ? Texts{"--machine", "qemu"} : Texts{}, extra), on_terminal);
    }
    // Boots, awaits the texts and the end of the run, with exit status 0.
    void boots_showing(const Texts& texts, const Texts& extra = {}, double timeout = 30, int status = 0) {
        boot_on_backend(extra);
        shows(texts, timeout);
        ends(status);
    }
    // A case that failed on the machine shows where to look: QEMU's state, asked through its
    // monitor while the machine still runs (the answer lands in machine.log), machine.log, and the
    // console's last bytes with their times.
    void TearDown() override {
        if (machine() && HasFailure()) {
            int monitor = open((board + "/machine-work/monitor.in").c_str(), O_WRONLY | O_NONBLOCK);
            if (monitor >= 0) {
                const std::string ask = "info status\ninfo registers\ninfo usb\n";
                EXPECT_GT(write(monitor, ask.data(), ask.size()), 0);
                close(monitor);
                watch(1);
            }
            std::printf(
                "the board %s\n-- its machine.log:\n%s-- the console's last reads (seconds since bmsim "
                "started):\n%s",
                board.c_str(), read_text_file(board + "/machine.log").c_str(), session.last_reads(12).c_str());
        }
        XmodemScenario::TearDown();
    }
    // What a run left: the console, byte for byte, the EEPROM, the device at 0x20 and the flash. A
    // serial transfer is left out of the console: the sandbox's receiver is lrzsz's, which
    // announces itself and asks for checksums (NAK), the machine's is busybox's, which asks for
    // CRCs ('C') silently. The dots the program counts while a stick plugged in is found are
    // compared as one: the machine's kernel takes its own time (about 2 s here) to find it.
    std::map<std::string, std::string> outcome() {
        std::string console = session.output;
        size_t from = console.find(SETUP_PROMPT), to = console.find(RESTORE_PROMPT);
        if (from != std::string::npos && to != std::string::npos) console.erase(from, to - from);
        size_t ready = console.find(".USB mounted and ready!"), dots = ready;
        while (dots != std::string::npos && dots > 0 && console[dots - 1] == '.') --dots;
        if (ready != std::string::npos) console.erase(dots, ready - dots);
        std::map<std::string, std::string> files = {{"console", console}};
        for (std::string name : {"eeprom.bin", "i2c1-0x20.bin", "mtd/kernel.bin", "mtd/rescue.bin", "mtd/ubootenv.bin"})
            files[name] = read_text_file(board + "/" + name);
        return files;
    }
    // The outcome is the simulated board's, and the machine ran without the device emulator.
    void same_as_sandbox() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        name = name.substr(0, name.find('/'));
        EXPECT_EQ(fs::exists(board + "/devices.log"), !machine());
        if (!machine()) {
            sandbox_outcomes[name] = outcome();
            return;
        }
        std::map<std::string, std::string> now = outcome();
        for (const auto& [what, bytes] : sandbox_outcomes[name]) {
            if (what == "console")
                EXPECT_EQ(now[what], bytes);
            else
                EXPECT_TRUE(now[what] == bytes) << what << " differs from the simulated board's";
        }
    }
};

TEST_P(OnMachine, NormalBoot) {
    put_slot(1, app_image("one"));
    set_eeprom("0x100", "1");
    boots_showing({"Booting image '1'", "APPLICATION one RUNNING", "APP_GREETING=hello-from-one"});
    EXPECT_TRUE(has(log(), {"/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n/bin/backtrace\n",
                            "ended: application launched by /bin/backtrace, exit status 0"}));
    EXPECT_EQ(eeprom(0x13A), 1);
    same_as_sandbox();
}

// Then the slots are replaced on the host, and the next boot starts the new image: the machine
// makes its jffs2 of /user again when /user changed since the last start.
TEST_P(OnMachine, FallbackToSlotTwo) {
    put_slot(1, spoiled(app_image("one")));
    put_slot(2, app_image("two"));
    set_eeprom("0x100", "1");
    boots_showing({"Image1 CRC failed, trying Image2 now.", "Booting image '2'", "APPLICATION two RUNNING"});
    EXPECT_EQ(eeprom(0x13A), 2);
    for (int slot : {1, 2}) put_slot(slot, app_image("new"));
    boots_showing({"APPLICATION new RUNNING"});
    same_as_sandbox();
}

// The package comes over the console with lrzsz's sender; the machine's UART changes speed for it.
TEST_P(OnMachine, SerialDownloadInstallsKernelAndApplication) {
    env({"diagnostics=rescue"});
    const Bytes kernel = flash_image(IMAGE_KERNEL, 150000, 1), app = app_image("xmodem", 0x02030405);
    boot_on_backend({"--timeout", "150"});
    ASSERT_TRUE(download({kernel, app}));
    answer(SLOT_PROMPT, "2\n");
    shows({"Image2 updated succeeded", "File processed", MENU_AGAIN});
    answer("Option? : ", "r");
    ends();
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(slot(2), app);
    EXPECT_EQ(eeprom(0x100), 2);
    EXPECT_TRUE(has(log(), {"/usr/bin/rx /tmp/image\n", "init: reboot requested\n"}));
    same_as_sandbox();
}

// A switch with a key: an unsigned package is refused with nothing written, then the signed one
// is installed, its application with its signature in the slot.
TEST_P(OnMachine, SignedPackageOverSerialDownloadOnASwitchWithAKey) {
    trust(board, KEY_A);
    env({"diagnostics=rescue"});
    const Bytes kernel = flash_image(IMAGE_KERNEL, 150000, 1), app = app_image("xmodem", 0x02030405);
    const Bytes kernel_before = partition("kernel");
    for (bool signed_package : {false, true}) {
        boot_on_backend({"--timeout", "150"});
        ASSERT_TRUE(download({signed_package ? signed_by(joined({kernel, app}), KEY_A) : joined({kernel, app})}));
        if (signed_package) {
            answer(SLOT_PROMPT, "2\n");
            shows({"Image2 updated succeeded", "File processed", MENU_AGAIN});
        } else {
            shows({"Installing Kernel: Signature check failed: no signature, voiding download", MENU_AGAIN});
            EXPECT_EQ(partition("kernel"), kernel_before);
        }
        answer("Option? : ", "r");
        ends();
    }
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(slot(2), signed_by(app, KEY_A));
    same_as_sandbox();
}

TEST_P(OnMachine, UsbStickBoot) {
    set_eeprom("0x13B", "0xD5");
    insert_stick({{"NXR4417_OS.img", app_image("usb", VERSION_2)}});
    boots_showing({"Booting image 'NXR4417_OS.img' from USB stick.", "APPLICATION usb RUNNING"});
    EXPECT_EQ(eeprom(0x13A), 3);
    EXPECT_EQ(file_names(board + "/user/images/rejected").size(), 1u);  // /user came back from the jffs2
    same_as_sandbox();
}

TEST_P(OnMachine, RescuePartitionBoot) {
    std::vector<AppFile> tree =
        tree_with("diag", {{"mpdiag.elf.strip", "#!/bin/sh\necho \"DIAGNOSTICS RUNNING\"\n", true}});
    flash("rescue", image_of(IMAGE_DIAGNOSTICS, VERSION_1, make_tarball(tree)));
    put_slot(1, app_image("slot1"));
    env({"diagnostics=diags"});
    boot_on_backend();
    answer("Confirm: Erase filesystem?", "n");
    shows({"Launching diagnostics image", "DIAGNOSTICS RUNNING"});
    ends();
    EXPECT_EQ(eeprom(0x13A), 4);
    same_as_sandbox();
}

// The stick goes in while the program counts its dots: on the machine QEMU's monitor plugs it in
// 1.5 s after the program started, and the kernel's hot-plug and the mount follow. Both backends
// run on the real clock here, so that the sandbox counts one dot. A stick never inserted ends in
// the program's time-out message.
TEST_P(OnMachine, StickPluggedInWhileTheSwitchWaits) {
    set_eeprom("0x13B", "0xD5");
    bmsim_ok({"usb", board, "insert", "--ready-after", "1.5"});
    write_binary_file(board + "/usb/NXR4417_OS.img", app_image("usb", VERSION_2));
    boots_showing({"Attempting to mount file system on USB flash drive", ".USB mounted and ready!",
                   "Booting image 'NXR4417_OS.img' from USB stick.", "APPLICATION usb RUNNING"},
                  {"--time-scale", "1"});
    EXPECT_TRUE(has(read_text_file(board + "/machine.log"), {"the stick is plugged in"}) || !machine());
    same_as_sandbox();
}

TEST_P(OnMachine, StickNeverInsertedTimesOut) {
    set_eeprom("0x13B", "0xD5");
    put_slot(1, app_image("one"));
    set_eeprom("0x100", "1");
    boots_showing(
        {"Attempting to mount file system on USB flash drive", "USB mount timed out", "APPLICATION one RUNNING"});
    same_as_sandbox();
}

// The console's escape keys on a terminal: Ctrl-] ? lists them, Ctrl-] b is the interrupt key at
// the menu's prompt, Ctrl-] s sends the package to the serial download's receiver, and after the
// reboot Ctrl-] q stops the board (the machine keeps what the first start saved).
TEST_P(OnMachine, EscapeKeysBreakSendAPackageAndStop) {
    env({"diagnostics=rescue"});
    const Bytes kernel = flash_image(IMAGE_KERNEL, 20000, 3), app = app_image("keys", 0x02030405);
    write_binary_file(board + "/package.img", joined({kernel, app}));
    boot_on_backend({"--timeout", "150", "--power-cycles", "2"}, /*on_terminal=*/true);
    ASSERT_TRUE(shows({"Ctrl-] q stops the board", "Option? : "}));
    session.send("\x1d?");
    ASSERT_TRUE(shows({"keys after Ctrl-]: q stop the board"}));
    press(
        "\x1d"
        "b");
    ASSERT_TRUE(shows({std::string(1, '\0') + "\r\n\r\nOption? : "}));
    press("x");
    ASSERT_TRUE(shows({SETUP_PROMPT}));
    watch(0.5);
    session.send("\r");
    watch(0.5);
    session.send("\x1ds");
    ASSERT_TRUE(shows({"file to send: "}));
    session.send(board + "/package.img\r");
    ASSERT_TRUE(press_enter_after(RESTORE_PROMPT, "\n", RESTORE_REMINDER, "Extracting images"));
    answer(SLOT_PROMPT, "2\n");
    ASSERT_TRUE(shows({"Image2 updated succeeded", "File processed", "Option? : "}));
    press("r");
    ASSERT_TRUE(shows({"the switch reboots: start 2 of 2", "Option? : "}));
    press("\x1dq");
    ends(0);
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(slot(2), app);
    EXPECT_TRUE(has(log(), {"/usr/bin/rx /tmp/image\n", "reboot requested", "bmsim: start 2 ended: stopped\n"}));
}

// The README's serial download by script (sim/demo/rescue-download.script, whose sendfile step
// sends package.img from the current folder) installs the package and reboots.
TEST_P(OnMachine, ScriptSendsThePackageOfTheDemo) {
    env({"diagnostics=rescue"});
    const Bytes kernel = flash_image(IMAGE_KERNEL, 20000, 4), app = app_image("script", 0x01000003);
    write_binary_file(board + "/package.img", joined({kernel, app}));
    Texts command = {"sh", "-c", "cd \"$0\" && exec \"$@\"", board, BMSIM_PATH, "boot", board};
    command =
        with(with(command, FAST), {"--timeout", "150", "--script", BM_SOURCE_DIR "/sim/demo/rescue-download.script"});
    session = ConsoleSession::start(with(command, machine() ? Texts{"--machine", "qemu"} : Texts{}));
    ends(0);
    EXPECT_TRUE(has(plain(session.output), {"Image2 updated succeeded", "File processed", "OS image 2  : 1.0.0.3"}));
    EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    EXPECT_EQ(slot(2), app);
    EXPECT_TRUE(has(log(), {"/usr/bin/rx /tmp/image\n", "reboot requested"}));
}

// The update cycle from the running switch with the start limit on: slot 1's application installs
// a package into slot 2 with bmctl and reboots, slot 2's application confirms itself and reboots,
// and slot 2 stays. Then slot 2 gets an application that never confirms: after its one start the
// switch rolls back to slot 1.
TEST_P(OnMachine, UpdateCycleAndRollbackWithBmctl) {
    env({"startlimit=1"});
    set_eeprom("0x100", "1");
    put_slot(1, app_running("one", "/sbin/bmctl mark-good; /sbin/bmctl install /user/package.img; reboot"));
    write_binary_file(board + "/user/package.img", app_running("two", "/sbin/bmctl mark-good; reboot", VERSION_2));
    boots_showing({"APPLICATION one RUNNING", "Image2 updated succeeded", "/user/package.img: installed; boot slot 2",
                   "Booting image '2'", "APPLICATION two RUNNING", "slot 2 confirmed", "Booting image '2'",
                   "APPLICATION two RUNNING"},
                  {"--power-cycles", "3"}, 120, /*status=*/4);  // the last start, too, ends in a reboot
    EXPECT_EQ(eeprom(0x100), 2);
    EXPECT_EQ(eeprom(0x13F), 0x5C);
    same_as_sandbox();

    put_slot(2, app_running("three", "reboot", 0x03000000));
    fs::remove(board + "/user/package.img");
    boots_showing({"Booting image '2'", "APPLICATION three RUNNING",
                   "Image2 was started 1 time without being confirmed. Booting Image1.", "Booting image '1'",
                   "APPLICATION one RUNNING", "bmctl: /user/package.img: No such file or directory"},
                  {"--power-cycles", "3"}, 120, /*status=*/4);
    EXPECT_EQ(eeprom(0x100), 1);
}

INSTANTIATE_TEST_SUITE_P(Machine, OnMachine, ::testing::Values("sandbox", "qemu"),
                         [](const auto& info) { return info.param; });

}  // namespace
