// The same scenarios on the switch's virtual machine (bmsim boot --machine qemu: the target
// program on a real kernel's MTD, I2C and serial drivers) and on the simulated board: each runs
// on both with the same checks, and the machine's console must match the simulated board's.
// The machine runs only where scripts/test-machine.sh built it and set BMSIM_MACHINE_DIR.
// Faults tried:
#include <map>

#include "xmodem_sender.h"

namespace {

struct OnMachine : XmodemScenario, ::testing::WithParamInterface<std::string> {
    static inline std::map<std::string, std::string> sandbox_consoles;  // by test name
    bool machine() { return GetParam() == "qemu"; }
    void SetUp() override {
        if (machine() && !std::getenv("BMSIM_MACHINE_DIR"))
            GTEST_SKIP() << "the virtual machine is not built (scripts/test-machine.sh runs these)";
    }
    void boot_on_backend(const Texts& extra = {}) {
        boot(with(machine() ? Texts{"--machine", "qemu"} : Texts{}, extra));
    }
    // The console, line ends aside, is the simulated board's. A serial transfer is left out: the
    // sandbox's receiver is lrzsz's, which announces itself and asks for checksums (NAK), the
    // machine's is busybox's, which asks for CRCs ('C') silently.
    void same_console() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                    text = plain(session.output);
        name = name.substr(0, name.find('/'));
        size_t from = text.find(SETUP_PROMPT), to = text.find(RESTORE_PROMPT);
        if (from != std::string::npos && to != std::string::npos) text.erase(from, to - from);
        EXPECT_EQ(fs::exists(board + "/devices.log"), !machine());  // the machine has no device emulator
        if (!machine()) {
            sandbox_consoles[name] = text;
        } else if (sandbox_consoles.count(name)) {
            EXPECT_EQ(text, sandbox_consoles[name]);
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
    same_console();
}

TEST_P(OnMachine, FallbackToSlotTwo) {
    put_slot(1, spoiled(app_image("one")));
    put_slot(2, app_image("two"));
    set_eeprom("0x100", "1");
    boot_on_backend();
    shows({"Image1 CRC failed, trying Image2 now.", "Booting image '2'", "APPLICATION two RUNNING"});
    ends();
    EXPECT_EQ(eeprom(0x13A), 2);
    same_console();
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
    same_console();
}

TEST_P(OnMachine, UsbStickBoot) {
    set_eeprom("0x13B", "0xD5");
    insert_stick({{"NXR4417_OS.img", app_image("usb", VERSION_2)}});
    boot_on_backend();
    shows({"Booting image 'NXR4417_OS.img' from USB stick.", "APPLICATION usb RUNNING"});
    ends();
    EXPECT_EQ(eeprom(0x13A), 3);
    EXPECT_EQ(file_names(board + "/user/images/rejected").size(), 1u);  // /user came back from the jffs2
    same_console();
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
    same_console();
}

INSTANTIATE_TEST_SUITE_P(Machine, OnMachine, ::testing::Values("sandbox", "qemu"),
                         [](const auto& info) { return info.param; });

}  // namespace
