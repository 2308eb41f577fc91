// The same scenarios on the switch's virtual machine (bmsim boot --machine qemu: the target
// program on a real kernel's MTD, I2C and serial drivers) and on the simulated board: each runs
// on both with the same checks, and the machine's console must match the simulated board's.
// The machine runs only where scripts/test-machine.sh built it and set BMSIM_MACHINE_DIR.
// Faults tried: /user not unpacked back after the run (sim/machine/start.sh) -> UsbStickBoot/qemu
// and SerialDownloadInstallsKernelAndApplication/qemu fail; the console's pseudo-terminal adding a
// second CR (no `stty -onlcr`), bmsim ignoring --machine qemu, init not restoring the registers of
// the device at 0x20 -> every /qemu case fails; init not showing the board's keys at
// /etc/bootmanager/keys -> SignedPackageOverSerialDownloadOnASwitchWithAKey/qemu fails.
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
    void boot_on_backend(const Texts& extra = {}) {
        boot(with(machine() ? Texts{"--machine", "qemu"} : Texts{}, extra));
    }
    // What a run left: the console, byte for byte, the EEPROM, the device at 0x20 and the flash. A
    // serial transfer is left out of the console: the sandbox's receiver is lrzsz's, which
    // announces itself and asks for checksums (NAK), the machine's is busybox's, which asks for
    // CRCs ('C') silently.
    std::map<std::string, std::string> outcome() {
        std::string console = session.output;
        size_t from = console.find(SETUP_PROMPT), to = console.find(RESTORE_PROMPT);
        if (from != std::string::npos && to != std::string::npos) console.erase(from, to - from);
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
    boot_on_backend();
    shows({"Booting image '1'", "APPLICATION one RUNNING", "APP_GREETING=hello-from-one"});
    ends();
    EXPECT_TRUE(has(log(), {"/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n/bin/backtrace\n",
                            "ended: application launched by /bin/backtrace, exit status 0"}));
    EXPECT_EQ(eeprom(0x13A), 1);
    same_as_sandbox();
}

TEST_P(OnMachine, FallbackToSlotTwo) {
    put_slot(1, spoiled(app_image("one")));
    put_slot(2, app_image("two"));
    set_eeprom("0x100", "1");
    boot_on_backend();
    shows({"Image1 CRC failed, trying Image2 now.", "Booting image '2'", "APPLICATION two RUNNING"});
    ends();
    EXPECT_EQ(eeprom(0x13A), 2);
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
    boot_on_backend();
    shows({"Booting image 'NXR4417_OS.img' from USB stick.", "APPLICATION usb RUNNING"});
    ends();
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

// The update cycle from the running switch with the start limit on: slot 1's application installs
// a package into slot 2 with bmctl and reboots, slot 2's application confirms itself and reboots,
// and slot 2 stays. Then slot 2 gets an application that never confirms: after its one start the
// switch rolls back to slot 1.
TEST_P(OnMachine, UpdateCycleAndRollbackWithBmctl) {
    env({"startlimit=1"});
    set_eeprom("0x100", "1");
    put_slot(1, app_running("one", "/sbin/bmctl mark-good; /sbin/bmctl install /user/package.img; reboot"));
    write_binary_file(board + "/user/package.img", app_running("two", "/sbin/bmctl mark-good; reboot", VERSION_2));
    boot_on_backend({"--power-cycles", "3"});
    shows({"APPLICATION one RUNNING", "Image2 updated succeeded", "/user/package.img: installed; boot slot 2",
           "Booting image '2'", "APPLICATION two RUNNING", "slot 2 confirmed", "Booting image '2'",
           "APPLICATION two RUNNING"},
          120);
    ends();
    EXPECT_EQ(eeprom(0x100), 2);
    EXPECT_EQ(eeprom(0x13F), 0x5C);
    same_as_sandbox();

    put_slot(2, app_running("three", "reboot", 0x03000000));
    fs::remove(board + "/user/package.img");
    boot_on_backend({"--power-cycles", "3"});
    shows({"Booting image '2'", "APPLICATION three RUNNING",
           "Image2 was started 1 time without being confirmed. Booting Image1.", "Booting image '1'",
           "APPLICATION one RUNNING", "bmctl: /user/package.img: No such file or directory"},
          120);
    ends();
    EXPECT_EQ(eeprom(0x100), 1);
}

INSTANTIATE_TEST_SUITE_P(Machine, OnMachine, ::testing::Values("sandbox", "qemu"),
                         [](const auto& info) { return info.param; });

}  // namespace
