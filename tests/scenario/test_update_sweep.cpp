// Power cuts and device faults at every request of the update cycle's own writes: bmctl install
// of a kernel and an application on a switch started from slot 1 with the start limit on, and
// the boot that rolls back from a slot 2 that ran out of starts and counts slot 1's start.
// Whatever the request: nothing crashes or hangs, the slot this start came from (slot 1) stays
// byte for byte, the boot slot names a slot whose image verifies, the next start reaches an
// application or the rescue menu and never the image that ran out, and a retried install
// completes. Each sweep reports its counts like the install sweeps.
// Faults tried: the boot slot written before the slot file (installer) -> 4 cuts in and before
// the slot write leave a boot slot whose image fails (BmctlInstall); the count cell written after
// the CRC cells -> the cuts between them confirm slot 1's image with an older image's confirmation
// (StartCounting); the CRC cells written after a failed write of the count cell -> i2c write-fail
// 0 8 does the same (StartCounting).
#include "sweep_tally.h"

namespace {

struct UpdateSweep : SweepScenario<Scenario> {
    const Bytes run_out = app_image("ran-out", VERSION_2);

    // The application of slot 1 installing the package, in place of the boot manager. bmctl may
    // fail (1) under a fault, never otherwise.
    void run_bmctl_install(const std::string& fault) {
        size_t log_from = log().size();
        boot({"--program", board + "/install.sh", "--time-scale", "0.01"});
        finish_run(fault, log_from);
        size_t at = session.output.find("bmctl exit ");
        if (at != std::string::npos && !contains("01", session.output.substr(at + 11, 1)))
            tally.count(CRASH, fault, session.output.substr(at));
    }
    void write_install_script(const std::string& options) {
        write_text(board + "/install.sh",
                   "#!/bin/sh\n/sbin/bmctl install " + options + "/user/package.img\necho \"bmctl exit $?\"\n");
        chmod((board + "/install.sh").c_str(), 0755);
    }
    // The start after a case, with nobody at the console: an application or the rescue menu.
    void next_start(const std::string& fault) {
        size_t log_from = log().size();
        boot({"--time-scale", "0.01"});
        if (await_any({MENU}) != 0 && !contains(log().substr(log_from), "ended: application launched"))
            tally.count(LOST_BOARD, fault, "no application and no rescue menu");
        if (contains(session.output, "APPLICATION ran-out RUNNING"))
            tally.count(BAD_START_COUNT, fault, "slot 2's image ran out of starts and was started");
        session.stop();
    }
    void install_case(const std::string& fault) {
        restore_reference();
        ++tally.tried;
        write_text(board + "/faults", fault + "\n");
        run_bmctl_install(fault);
        fs::remove(board + "/faults");
        check_slots(fault);
        next_start(fault);
        // the start after that one came from whatever the boot slot named: the retry says slot 2
        write_install_script("--slot 2 ");
        run_bmctl_install(fault + " (retry)");
        if (!starts_with(partition("kernel"), kernel) || slot(2) != app || eeprom(0x100) != 2)
            tally.count(RETRY_INCOMPLETE, fault, "the retry left the kernel, slot 2 or the boot slot");
    }

    void counting_case(const std::string& fault) {
        restore_reference();
        ++tally.tried;
        write_text(board + "/faults", fault + "\n");
        size_t log_from = log().size();
        boot({"--time-scale", "0.01"});
        await_any({MENU, "APPLICATION old RUNNING"});
        session.stop();
        finish_run(fault, log_from);
        fs::remove(board + "/faults");
        check_slots(fault);
        uint32_t crc = read_be32(old_app.data());
        if (eeprom(0x13C) == 0x5C && eeprom(0x13D) == int((crc >> 8) & 0xFF) && eeprom(0x13E) == int(crc & 0xFF))
            tally.count(BAD_START_COUNT, fault, "slot 1 confirmed without its application");
        next_start(fault);
    }

    void sweep(void (UpdateSweep::*one_case)(const std::string&), const std::string& fault, int count) {
        for (int k = 1; k <= count; ++k) (this->*one_case)(fault + " " + std::to_string(k));
    }
};

TEST_F(UpdateSweep, BmctlInstall) {
    env({"startlimit=2"});
    write_text(board + "/mtd/kernel.erasesize", "16384");
    flash("kernel", old_kernel);
    put_slot(1, old_app);
    set_eeprom("0x100", "1");
    set_eeprom("0x13A", "1");
    write_binary_file(board + "/user/package.img", joined({kernel, app}));
    write_install_script("");
    keep_reference();

    restore_reference();
    run_bmctl_install("no fault");
    ASSERT_TRUE(starts_with(partition("kernel"), kernel) && slot(2) == app && eeprom(0x100) == 2) << session.output;
    const std::string log_text = read_text_file(board + "/devices.log");
    int requests = device_requests(log_text);
    EXPECT_GT(requests, 50);
    sweep(&UpdateSweep::install_case, "power-cut request", requests);
    sweep(&UpdateSweep::install_case, "power-cut slot-write", int((app.size() + 65535) / 65536));
    sweep(&UpdateSweep::install_case, "i2c write-fail 0", int(count_of(log_text, "i2c-0 write 0x54 01 ")));
    sweep(&UpdateSweep::install_case, "fail kernel write", int(count_of(log_text, "mtd-kernel pwrite ")));
    tally.report("bmctl install");
    EXPECT_EQ(tally.cases, "");
}

// Slot 2, the boot slot, ran out of its one start: the boot makes slot 1 the boot slot and counts
// slot 1's first start (its count cell, then its two CRC cells), then the boot mode. Slot 1's
// cells hold the confirmation of an older image, which must never pass to this one.
TEST_F(UpdateSweep, StartCounting) {
    env({"startlimit=1"});
    put_slot(1, old_app);
    put_slot(2, run_out);
    set_eeprom("0x100", "2");
    const uint32_t crc = read_be32(run_out.data());
    set_eeprom("0x13F", "0xA1");
    set_eeprom("0x140", std::to_string((crc >> 8) & 0xFF));
    set_eeprom("0x141", std::to_string(crc & 0xFF));
    set_eeprom("0x13C", "0x5C");
    set_eeprom("0x13D", "0x12");
    set_eeprom("0x13E", "0x34");
    keep_reference();

    restore_reference();
    boot({"--time-scale", "0.01"});
    ASSERT_TRUE(
        shows({"Image2 was started 1 time without being confirmed. Booting Image1.", "APPLICATION old RUNNING"}));
    session.stop();
    ASSERT_EQ(eeprom(0x100), 1);
    ASSERT_EQ(eeprom(0x13C), 0xA1);
    const std::string log_text = read_text_file(board + "/devices.log");
    sweep(&UpdateSweep::counting_case, "power-cut request", device_requests(log_text));
    sweep(&UpdateSweep::counting_case, "i2c write-fail 0", int(count_of(log_text, "i2c-0 write 0x54 01 ")));
    tally.report("start counting");
    EXPECT_EQ(tally.cases, "");
}

}  // namespace
