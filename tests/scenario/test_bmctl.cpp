// bmctl on the simulated board, as an application of the switch runs it: its status of good,
// damaged, missing and diagnostics slots, set-slot, mark-good, installs and their bad input; the
// whole update cycle through reboots; the start limit's rollback and its absence.
// Faults tried: the default install slot being the one this start came from ->
// Bmctl.InstallsIntoTheOtherSlotAndRefusesBadInput and Bmctl.TheUpdateCycleInstallsRebootsConfirmsAndStays;
// the start not counted at the hand-over -> Bmctl.UnconfirmedStartsRollBackThenBothRunOut.
#include "scenario_board.h"

namespace {

const std::string OK_APP_LINE = "APPLICATION one RUNNING";

struct Bmctl : Scenario {
    std::vector<int> start_cells() {
        std::vector<int> cells;
        for (uint32_t at = 0x13C; at < 0x142; ++at) cells.push_back(eeprom(at));
        return cells;
    }
};

TEST_F(Bmctl, StatusOfGoodDamagedMissingAndDiagnosticsSlots) {
    Bytes one = app_image("one", VERSION_1), two = spoiled(app_image("two", 0x02000304));
    put_slot(1, one);
    put_slot(2, two);
    flash("kernel", flash_image(IMAGE_KERNEL, 300, 1, 0x01020304));
    set_eeprom("0x100", "2");
    set_eeprom("0x13A", "1");
    set_eeprom("0x13B", "0xD5");
    std::string shown = on_switch("/sbin/bmctl status --json; echo \"exit $?\"; /sbin/bmctl status");
    EXPECT_TRUE(
        has(shown, {"{\"boot_slot\":2,\"boot_mode\":1,\"usb_boot\":true,\"slots\":[{\"slot\":1,\"present\":true,"
                    "\"type\":\"application\",\"version\":\"1.0.0.0\",\"length\":" +
                        std::to_string(one.size()) +
                        ",\"crc_ok\":true},{\"slot\":2,\"present\":true,\"type\":\"application\","
                        "\"version\":\"2.0.3.4\",\"length\":" +
                        std::to_string(two.size()) +
                        ",\"crc_ok\":false}],\"flash\":{\"bootloader\":\"255.255.255.255\",\"rfs\":"
                        "\"255.255.255.255\",\"kernel\":\"1.2.3.4\",\"devicetree\":\"255.255.255.255\"},"
                        "\"start_limit\":0}\nexit 0\n",
                    "boot slot: 2\nboot mode: 1 (slot 1)\nusb boot: on\n", "slot 2: application 2.0.3.4", "crc bad\n",
                    "kernel: 1.2.3.4\n", "start limit: off\n"}));

    // a diagnostics image in slot 1, none in slot 2, an erased EEPROM, the start limit on
    bmsim_ok({"new", board});
    Bytes diags = image_of(IMAGE_DIAGNOSTICS, 0x03000001, pattern_bytes(500, 3));
    put_slot(1, diags);
    env({"startlimit=3"});
    shown = on_switch("/sbin/bmctl status --json");
    EXPECT_TRUE(has(shown, {"{\"boot_slot\":1,\"boot_mode\":255,\"usb_boot\":false,\"slots\":[{\"slot\":1,"
                            "\"present\":true,\"type\":\"diagnostics\",\"version\":\"3.0.0.1\",\"length\":516,"
                            "\"crc_ok\":true,\"starts\":0,\"confirmed\":false},{\"slot\":2,\"present\":false,"
                            "\"type\":null,\"version\":null,\"length\":0,\"crc_ok\":false}]",
                            "\"start_limit\":3}\n"}));
    EXPECT_TRUE(lacks(shown, {"bmctl:"}));
}

TEST_F(Bmctl, SetSlotAndMarkGood) {
    put_slot(1, app_image("one"));
    put_slot(2, spoiled(app_image("two")));
    set_eeprom("0x100", "1");
    set_eeprom("0x13A", "1");
    std::string shown = on_switch(
        "/sbin/bmctl set-slot 2; echo \"exit $?\"; /sbin/bmctl set-slot 1; echo \"exit $?\";"
        "/sbin/bmctl mark-good; echo \"exit $?\"; /sbin/bmctl set-slot 3; echo \"exit $?\";"
        "/sbin/bmctl --version; /sbin/bmctl --help | head -n 1");
    EXPECT_TRUE(has(shown, {"bmctl: /user/images/image2: its image does not verify\nexit 1\n", "boot slot 1\nexit 0\n",
                            "nothing to confirm\nexit 0\n", "bmctl: set-slot takes 1 or 2 (bmctl --help)\nexit 2\n",
                            "bmctl 1.0.0\nUsage: bmctl COMMAND [OPTIONS]\n"}));
    EXPECT_EQ(eeprom(0x100), 1);
    EXPECT_EQ(start_cells(), std::vector<int>(6, 0xFF));

    env({"startlimit=2"});
    shown = on_switch("/sbin/bmctl mark-good; echo \"exit $?\"; /sbin/bmctl mark-good; /sbin/bmctl status");
    EXPECT_TRUE(has(shown, {"slot 1 confirmed\nexit 0\n", "slot 1 confirmed\n", "slot 1 starts: 0, confirmed\n"}));
    EXPECT_EQ(start_cells()[0], 0x5C);
}

TEST_F(Bmctl, InstallsIntoTheOtherSlotAndRefusesBadInput) {
    Bytes one = app_image("one"), two = app_image("two", VERSION_2);
    put_slot(1, one);
    set_eeprom("0x100", "1");
    set_eeprom("0x13A", "1");
    write_binary_file(board + "/user/package.img", joined({flash_image(IMAGE_KERNEL, 300, 1), two}));
    write_binary_file(board + "/user/noise.img", pattern_bytes(3000, 9));
    Bytes truncated = joined({flash_image(IMAGE_KERNEL, 300, 1), two});
    truncated.resize(truncated.size() - 100);
    write_binary_file(board + "/user/truncated.img", truncated);

    // bad input: nothing installed, the boot slot stays
    std::string shown = on_switch(
        "for p in noise truncated missing; do /sbin/bmctl install /user/$p.img; echo \"exit $?\"; done;"
        "/sbin/bmctl install; echo \"exit $?\"; /sbin/bmctl install /user/package.img --slot 3; echo \"exit $?\"");
    EXPECT_TRUE(
        has(shown, {"ERROR: No valid image found", "bmctl: /user/noise.img: nothing was installed", "exit 1\n",
                    "Bad crc for APPLICATION", "bmctl: /user/truncated.img: nothing was installed", "exit 1\n",
                    "bmctl: /user/missing.img: No such file or directory\nexit 1\n",
                    "the command lacks its operand (bmctl --help)\nexit 2\n", "--slot takes 1 or 2", "exit 2\n"}));
    EXPECT_FALSE(fs::exists(slot_path(2)));
    EXPECT_EQ(eeprom(0x100), 1);

    // an unwritable /user/images and a missing EEPROM bus
    fs::permissions(board + "/user/images", fs::perms::owner_read | fs::perms::owner_exec);
    shown = on_switch("/sbin/bmctl install /user/package.img; echo \"exit $?\"");
    fs::permissions(board + "/user/images", fs::perms::owner_all);
    EXPECT_TRUE(
        has(shown, {"Image2 update failed (err 13)", "bmctl: /user/package.img: nothing was installed", "exit 1"}));
    EXPECT_EQ(eeprom(0x100), 1);
    write_text(board + "/faults", "missing /dev/i2c-0\n");
    shown = on_switch("/sbin/bmctl install /user/package.img; echo \"exit $?\"; /sbin/bmctl status; echo \"exit $?\"");
    fs::remove(board + "/faults");
    EXPECT_TRUE(has(shown, {"bmctl: /dev/i2c-0: the EEPROM's bus cannot be opened\nexit 1\n", "exit 1\n"}));
    EXPECT_FALSE(fs::exists(slot_path(2)));

    // the package: by default into the slot this start did not come from, then skipped as the same
    shown = on_switch(
        "/sbin/bmctl install /user/package.img 2>/tmp/messages; echo \"exit $?\"; cat /tmp/messages;"
        "/sbin/bmctl install /user/package.img --skip-same --slot 2; echo \"exit $?\"");
    EXPECT_TRUE(has(shown, {"/user/package.img: installed; boot slot 2\nexit 0\n", "Installing Kernel: ",
                            "Image2 updated succeeded", "Image2 has same version as existing image. Skipping update...",
                            "/user/package.img: already installed; boot slot 2\nexit 0\n"}));
    // no percents where nobody watches them move; on the console they show
    EXPECT_TRUE(lacks(shown.substr(0, shown.find("File processed")), {"\b"}));
    EXPECT_TRUE(has(shown, {"File processed", "Skipping update"}));
    EXPECT_EQ(slot(2), two);
    EXPECT_EQ(slot(1), one);
    EXPECT_EQ(eeprom(0x100), 2);
    EXPECT_EQ(start_cells(), std::vector<int>(6, 0xFF));  // off: no start state is written
}

// Slot 1's application installs a package into slot 2 and reboots; slot 2's application confirms
// itself and reboots; the confirmed slot 2 keeps booting.
TEST_F(Bmctl, TheUpdateCycleInstallsRebootsConfirmsAndStays) {
    env({"startlimit=1"});
    set_eeprom("0x100", "1");
    put_slot(1, app_running("one", "/sbin/bmctl install /user/package.img; reboot"));
    write_binary_file(board + "/user/package.img",
                      app_running("two", "/sbin/bmctl mark-good && echo confirmed; reboot", VERSION_2));
    boot({"--power-cycles", "4"});
    shows({"Booting image '1'", "APPLICATION one RUNNING", "installed; boot slot 2", "Booting image '2'",
           "APPLICATION two RUNNING", "slot 2 confirmed", "Booting image '2'", "APPLICATION two RUNNING",
           "Booting image '2'", "APPLICATION two RUNNING"});
    session.wait_exit(60);
    EXPECT_TRUE(lacks(session.output, {"without being confirmed"}));
    EXPECT_EQ(eeprom(0x100), 2);
    EXPECT_EQ(start_cells()[3], 0x5C);
}

// Two applications that never confirm, limit 2: slot 2 twice, the roll back to slot 1, slot 1
// twice, then the rescue menu as for two failing slots. USB and rescue-partition starts are not
// counted (their sources are not slots).
TEST_F(Bmctl, UnconfirmedStartsRollBackThenBothRunOut) {
    env({"startlimit=2"});
    set_eeprom("0x100", "2");
    put_slot(1, app_running("one", "reboot"));
    put_slot(2, app_running("two", "reboot"));
    boot({"--power-cycles", "5"});
    shows({"Booting image '2'", "APPLICATION two RUNNING", "Booting image '2'", "APPLICATION two RUNNING",
           "Image2 was started 2 times without being confirmed. Booting Image1.", "Booting image '1'",
           "APPLICATION one RUNNING", "Booting image '1'", "APPLICATION one RUNNING",
           "Image1 was started 2 times without being confirmed, and Image2 cannot be booted.",
           "No valid application image found. Trying rescue image", "Option? : "});
    press("R");
    session.wait_exit(60);
    EXPECT_EQ(count_of(session.output, "APPLICATION two RUNNING"), 2u);
    EXPECT_EQ(count_of(session.output, "APPLICATION one RUNNING"), 2u);
    EXPECT_EQ(eeprom(0x100), 1);
}

// Off (no setting, or a value out of range): the same console and device requests as without
// any, and the cells of the start counts are never touched.
TEST_F(Bmctl, WithoutTheStartLimitTheBootIsUnchanged) {
    put_slot(1, app_running("one", "reboot"));
    put_slot(2, app_image("two"));
    set_eeprom("0x100", "1");
    std::string consoles[2], requests[2];
    for (int i = 0; i < 2; ++i) {
        env({i ? "startlimit=0" : "shell=off"});
        fs::remove(board + "/devices.log");
        boot({"--power-cycles", "2"});
        shows({"APPLICATION one RUNNING", "APPLICATION one RUNNING"});
        session.wait_exit(60);
        consoles[i] = session.output;
        requests[i] = read_text_file(board + "/devices.log");
    }
    EXPECT_EQ(consoles[0], consoles[1]);
    EXPECT_EQ(requests[0], requests[1]);
    EXPECT_EQ(start_cells(), std::vector<int>(6, 0xFF));
}

}  // namespace
